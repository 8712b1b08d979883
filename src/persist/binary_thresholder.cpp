// The Thresholder in the compact binary form: the settings field by field,
// the counters, then each ring as a length and its values oldest first, then
// the steps still to skip, the margin and log_scores (each absent from
// states written before it existed), then the burst settings when the
// burst test is on.
#include <cstdint>

#include "persist/binary_io.hpp"
#include "persist/binary_records.hpp"
#include "persist/binary_state.hpp"
#include "persist/thresholder_records.hpp"

namespace arbolet::persist {

namespace {

using binary::ByteReader;
using binary::ByteWriter;

void write_ring(ByteWriter& w, const threshold::Ring& ring) {
    w.var(ring.size());
    for (std::size_t i = 0; i < ring.size(); ++i) w.f64(ring.at(i));
}

// The values are refused before allocation when the remaining bytes could
// not hold them; slot 0 is then the oldest, as the writer put them.
void read_ring(ByteReader& r, threshold::Ring& ring) {
    const std::uint64_t n = r.count(r.var(), 64, "values");
    ring.values.resize(n);
    for (double& v : ring.values) v = r.f64();
    ring.next = 0;
}

}  // namespace

void write_thresholder_payload(ByteWriter& w, const threshold::Thresholder& t) {
    binary::write_fields<record::FirstThresholderSettings>(w, t.config);
    w.var(t.steps);
    w.u8(t.alarmed ? 1 : 0);
    if (t.alarmed) w.var(t.since_alarm);
    w.u8(t.in_event ? 1 : 0);
    write_ring(w, t.kept);
    write_ring(w, t.recent);
    write_ring(w, t.recent_z);
    w.f64(t.mean_level);
    w.f64(t.mean_variance);
    w.var(t.steps_to_skip);
    w.f64(t.config.margin);
    w.u8(t.config.log_scores ? 1 : 0);
    if (t.config.burst_window > 0) {
        w.var(t.config.burst_window);
        w.f64(t.config.burst_level);
    }
}

void read_thresholder_payload(ByteReader& r, threshold::Thresholder& t) {
    binary::read_fields<record::FirstThresholderSettings>(r, t.config);
    t.steps = r.var();
    t.alarmed = r.flag();
    t.since_alarm = t.alarmed ? r.var() : 0;
    t.in_event = r.flag();
    read_ring(r, t.kept);
    read_ring(r, t.recent);
    read_ring(r, t.recent_z);
    t.mean_level = r.f64();
    t.mean_variance = r.f64();
    t.steps_to_skip = r.at_end() ? 0 : r.var();
    t.config.margin = r.at_end() ? threshold::ThresholderConfig{}.margin : r.f64();
    t.config.log_scores = r.at_end() ? false : r.flag();
    if (!r.at_end()) {
        t.config.burst_window = r.var();
        t.config.burst_level = r.f64();
    }
    if (!r.at_end()) r.fail("trailing bytes after the state");
}

}  // namespace arbolet::persist
