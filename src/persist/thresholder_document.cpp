// The Thresholder state document, written and read from the descriptions of
// its records.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "persist/json_records.hpp"
#include "persist/thresholder_document.hpp"
#include "persist/thresholder_records.hpp"

namespace arbolet::persist {

namespace {

using threshold::Thresholder;

// Writes and reads the rings, oldest first.
struct RingCodec {
    template <threshold::Ring Thresholder::*M>
    void write(JsonWriter& w, record::Special<record::RingValues<M>>, const Thresholder& t) {
        const threshold::Ring& ring = t.*M;
        w.ch('[');
        for (std::size_t i = 0; i < ring.size(); ++i) {
            if (i != 0) w.ch(',');
            w.f64(ring.at(i));
        }
        w.ch(']');
    }
    // Stops storing past the largest window; the length checks report it.
    // Slot 0 is then the oldest, and the next written once full.
    template <threshold::Ring Thresholder::*M>
    void read(json::Reader& r, record::Special<record::RingValues<M>>, Thresholder& t) {
        threshold::Ring& ring = t.*M;
        ring.values.clear();
        ring.next = 0;
        r.read_seq("a sequence", [&] {
            const double v = r.read_f64();
            if (ring.values.size() <= threshold::kMaxWindow) ring.values.push_back(v);
        });
    }
};

std::string check_ring(const threshold::Ring& ring, const char* name, std::uint64_t expected, bool exact) {
    const std::string held = std::to_string(ring.size());
    if (exact ? ring.size() != expected : ring.size() > expected)
        return std::string("inconsistent state: ") + name + " holds " + held + " values, expected " +
               (exact ? "" : "at most ") + std::to_string(expected);
    for (double v : ring.values)
        if (!(std::fabs(v) <= threshold::kMaxScore))
            return std::string("inconsistent state: a value of ") + name + " is not within +-1e300";
    return {};
}

}  // namespace

std::string find_thresholder_inconsistency(const Thresholder& t) {
    const threshold::ThresholderConfig& c = t.config;
    std::string bad = Thresholder::check_config(c);
    if (!bad.empty()) return "inconsistent state: " + bad;
    using threshold::kMaxScore;
    auto at_most_steps = [&](std::uint64_t n) { return t.steps < n ? t.steps : n; };
    for (std::string problem : {check_ring(t.kept, "kept", at_most_steps(c.horizon), false),
                                check_ring(t.recent, "recent", at_most_steps(t.recent_capacity()), true),
                                check_ring(t.recent_z, "recent_z", at_most_steps(std::max(c.mean_window, c.peak_window)), true)})
        if (!problem.empty()) return problem;
    if (!(std::fabs(t.mean_level) <= kMaxScore)) return "inconsistent state: mean_level is not within +-1e300";
    if (!(t.mean_variance >= 0.0 && t.mean_variance <= kMaxScore))
        return "inconsistent state: mean_variance is not within 0 and 1e300";
    if (t.alarmed && t.since_alarm >= t.steps) return "inconsistent state: since_alarm is not below steps";
    if (t.in_event && !t.alarmed) return "inconsistent state: in_event without an alarm";
    return {};
}

std::string thresholder_to_json(const Thresholder& t) {
    JsonWriter w(320 + 24 * (t.kept.size() + t.recent.size() + t.recent_z.size()));
    RingCodec codec;
    json::write_record<Thresholder>(w, t, codec);
    return std::move(w).take();
}

Result<Thresholder> thresholder_from_json(std::string_view text) {
    json::Reader r(text);
    Thresholder t;
    RingCodec codec;
    try {
        json::read_record<Thresholder>(r, t, codec);
        r.finish();
    } catch (json::Positioned& e) {
        return EngineError::io(r.describe(e));
    } catch (json::Unpositioned& e) {
        return EngineError::io(r.describe(json::Positioned{e.message, 0}));
    }
    std::string problem = find_thresholder_inconsistency(t);
    if (!problem.empty()) return EngineError::io(problem);
    t.sort_kept();
    return t;
}

}  // namespace arbolet::persist
