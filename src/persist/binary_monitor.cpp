// The Monitor in the compact binary form: the settings, the counters, the
// levels and range windows, then each forest's and thresholder's own
// complete binary state (header and checksum included), length first.
#include <string>

#include "persist/binary_io.hpp"
#include "persist/binary_state.hpp"
#include "persist/documents.hpp"
#include "persist/monitor_document.hpp"
#include "persist/thresholder_document.hpp"

namespace arbolet::persist {

namespace {

using binary::ByteReader;
using binary::ByteWriter;

void write_queue(ByteWriter& w, const monitor::MonotoneQueue& q) {
    w.var(q.size());
    for (std::size_t i = static_cast<std::size_t>(q.head); i < q.entries.size(); ++i) {
        w.var(q.entries[i].step);
        w.f64(q.entries[i].value);
    }
}

void read_queue(ByteReader& r, monitor::MonotoneQueue& q) {
    const std::uint64_t n = r.count(r.var(), 72, "range values");
    q.entries.resize(n);
    q.head = 0;
    for (monitor::Extreme& e : q.entries) {
        e.step = r.var();
        e.value = r.f64();
    }
}

void write_ranges(ByteWriter& w, const std::vector<monitor::RangeWindow>& ranges) {
    w.var(ranges.size());
    for (const monitor::RangeWindow& range : ranges) {
        write_queue(w, range.highs);
        write_queue(w, range.lows);
    }
}

void read_ranges(ByteReader& r, std::vector<monitor::RangeWindow>& ranges, const char* what) {
    ranges.resize(r.count(r.var(), 16, what));
    for (monitor::RangeWindow& range : ranges) {
        read_queue(r, range.highs);
        read_queue(r, range.lows);
    }
}

void write_part(ByteWriter& w, const std::string& state) {
    w.var(state.size());
    w.bytes(state);
}

template <class Part, class Read>
void read_parts(ByteReader& r, std::vector<Part>& parts, const char* what, Read read) {
    const std::uint64_t n = r.var();
    if (n > 2) throw Inconsistent{std::string("inconsistent state: more than two ") + what + "s"};
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint64_t length = r.count(r.var(), 8, what);
        Result<Part> part = read(r.take(static_cast<std::size_t>(length)));
        if (!part) throw Inconsistent{std::string(what) + " " + std::to_string(k) + ": " + part.error().text};
        parts.push_back(std::move(part).value());
    }
}

}  // namespace

void write_monitor_payload(ByteWriter& w, const monitor::Monitor& m) {
    const monitor::MonitorConfig& c = m.config;
    w.var(c.input_dim);
    w.var(c.shingle_size);
    w.var(c.num_trees);
    w.var(c.capacity);
    w.var(c.range_window);
    w.f64(c.range_margin);
    w.var(c.warm_up);
    w.var(c.suppression);
    w.u8(static_cast<std::uint8_t>(c.direction));
    w.f64(c.quantile);
    w.var(c.peak_window);
    w.f64(c.min_grade);
    w.var(c.season);
    w.f64(c.season_margin);
    w.var(m.steps);
    w.var(m.since_alarm ? *m.since_alarm + 1 : 0);
    w.u8(m.last_timestamp ? 1 : 0);
    if (m.last_timestamp) w.var(*m.last_timestamp);
    w.var(m.levels.size());
    for (double v : m.levels) w.f64(v);
    w.var(m.jitters.size());
    for (double v : m.jitters) w.f64(v);
    write_ranges(w, m.ranges);
    const monitor::SeasonHistory& h = m.history;
    w.var(h.season);
    w.var(h.gaps.size());
    for (std::uint64_t g : h.gaps) w.var(g);
    w.var(h.values.size());
    for (float v : h.values) w.f32(v);
    w.var(h.next);
    write_ranges(w, m.season_ranges);
    w.var(m.runs.size());
    for (const monitor::FlatRun& run : m.runs) {
        w.f32(run.value);
        w.var(run.length);
        w.var(run.longest);
    }
    const monitor::Relations& rel = m.relations;
    w.var(rel.means.size());
    for (double v : rel.means) w.f64(v);
    w.var(rel.covariance.size());
    for (double v : rel.covariance) w.f64(v);
    w.var(rel.partners.size());
    for (std::uint64_t p : rel.partners) w.var(p);
    w.var(rel.held.size());
    for (std::uint64_t h : rel.held) w.var(h);
    write_ranges(w, rel.residuals);
    w.var(m.forests.size());
    for (const rcf::Forest& f : m.forests) write_part(w, forest_to_bytes(f));
    w.var(m.thresholders.size());
    for (const threshold::Thresholder& t : m.thresholders) write_part(w, thresholder_to_bytes(t));
}

void read_monitor_payload(ByteReader& r, monitor::Monitor& m) {
    monitor::MonitorConfig& c = m.config;
    c.input_dim = r.var();
    c.shingle_size = r.var();
    c.num_trees = r.var();
    c.capacity = r.var();
    c.range_window = r.var();
    c.range_margin = r.f64();
    c.warm_up = r.var();
    c.suppression = r.var();
    c.direction = static_cast<monitor::Direction>(r.u8());
    c.quantile = r.f64();
    c.peak_window = r.var();
    c.min_grade = r.f64();
    c.season = r.var();
    c.season_margin = r.f64();
    m.steps = r.var();
    const std::uint64_t since = r.var();
    if (since == 0) m.since_alarm.reset();
    else m.since_alarm = since - 1;
    if (r.flag()) m.last_timestamp = r.var();
    m.levels.resize(r.count(r.var(), 64, "levels"));
    for (double& v : m.levels) v = r.f64();
    m.jitters.resize(r.count(r.var(), 64, "jitters"));
    for (double& v : m.jitters) v = r.f64();
    read_ranges(r, m.ranges, "ranges");
    monitor::SeasonHistory& h = m.history;
    h.season = r.var();
    h.gaps.resize(r.count(r.var(), 8, "gaps"));
    for (std::uint64_t& g : h.gaps) g = r.var();
    h.values.resize(r.count(r.var(), 32, "season values"));
    for (float& v : h.values) v = r.f32();
    h.next = r.var();
    read_ranges(r, m.season_ranges, "season ranges");
    m.runs.resize(r.count(r.var(), 32 + 8 + 8, "flat runs"));
    for (monitor::FlatRun& run : m.runs) {
        run.value = r.f32();
        run.length = r.var();
        run.longest = r.var();
    }
    monitor::Relations& rel = m.relations;
    rel.means.resize(r.count(r.var(), 64, "relation means"));
    for (double& v : rel.means) v = r.f64();
    rel.covariance.resize(r.count(r.var(), 64, "covariance"));
    for (double& v : rel.covariance) v = r.f64();
    rel.partners.resize(r.count(r.var(), 8, "partners"));
    for (std::uint64_t& p : rel.partners) p = r.var();
    rel.held.resize(r.count(r.var(), 8, "held"));
    for (std::uint64_t& h : rel.held) h = r.var();
    read_ranges(r, rel.residuals, "residual ranges");
    read_parts(r, m.forests, "forest", forest_from_bytes);
    read_parts(r, m.thresholders, "thresholder", thresholder_from_bytes);
    if (!r.at_end()) r.fail("trailing bytes after the state");
}

}  // namespace arbolet::persist
