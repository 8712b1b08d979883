// The Thresholder state document.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/thresholder_document.hpp"

namespace arbolet::persist {

namespace {

using json::Reader;
using json::RecordSpec;
using threshold::Thresholder;

const RecordSpec kThresholder{
    "struct Thresholder",
    "struct Thresholder with 9 elements",
    {"config", "steps", "since_alarm", "in_event", "kept", "recent", "recent_z", "mean_level", "mean_variance"}};
const RecordSpec kConfig{"struct ThresholderConfig",
                         "struct ThresholderConfig with 9 elements",
                         {"horizon", "warm_up", "quantile", "sigmas", "mean_window", "min_spread", "min_score",
                          "suppression", "peak_window"}};

constexpr const char* kU64 = "u64";

// Stops storing past the largest window; the length checks report it.
void read_ring(Reader& r, threshold::Ring& ring) {
    ring.values.clear();
    r.read_seq("a sequence", [&] {
        const double v = r.read_f64();
        if (ring.values.size() <= threshold::kMaxWindow) ring.values.push_back(v);
    });
}

void read_thresholder(Reader& r, Thresholder& t) {
    r.read_record(kThresholder, [&](int i) {
        switch (i) {
            case 0:
                r.read_record(kConfig, [&](int k) {
                    threshold::ThresholderConfig& c = t.config;
                    switch (k) {
                        case 0: c.horizon = r.read_unsigned(kU64); break;
                        case 1: c.warm_up = r.read_unsigned(kU64); break;
                        case 2: c.quantile = r.read_f64(); break;
                        case 3: c.sigmas = r.read_f64(); break;
                        case 4: c.mean_window = r.read_unsigned(kU64); break;
                        case 5: c.min_spread = r.read_f64(); break;
                        case 6: c.min_score = r.read_f64(); break;
                        case 7: c.suppression = r.read_unsigned(kU64); break;
                        case 8: c.peak_window = r.read_unsigned(kU64); break;
                    }
                });
                break;
            case 1: t.steps = r.read_unsigned(kU64); break;
            case 2:
                t.alarmed = !r.take_null();
                t.since_alarm = t.alarmed ? r.read_unsigned(kU64) : 0;
                break;
            case 3: t.in_event = r.read_bool(); break;
            case 4: read_ring(r, t.kept); break;
            case 5: read_ring(r, t.recent); break;
            case 6: read_ring(r, t.recent_z); break;
            case 7: t.mean_level = r.read_f64(); break;
            case 8: t.mean_variance = r.read_f64(); break;
        }
    });
}

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
                                check_ring(t.recent, "recent", at_most_steps(std::max(c.mean_window, c.peak_window)), true),
                                check_ring(t.recent_z, "recent_z", at_most_steps(std::max(c.mean_window, c.peak_window)), true)})
        if (!problem.empty()) return problem;
    if (!(std::fabs(t.mean_level) <= kMaxScore)) return "inconsistent state: mean_level is not within +-1e300";
    if (!(t.mean_variance >= 0.0 && t.mean_variance <= kMaxScore))
        return "inconsistent state: mean_variance is not within 0 and 1e300";
    if (t.alarmed && t.since_alarm >= t.steps) return "inconsistent state: since_alarm is not below steps";
    if (t.in_event && !t.alarmed) return "inconsistent state: in_event without an alarm";
    return {};
}

namespace {

void write_ring(JsonWriter& w, const threshold::Ring& ring) {
    w.ch('[');
    for (std::size_t i = 0; i < ring.size(); ++i) {
        if (i != 0) w.ch(',');
        w.f64(ring.at(i));
    }
    w.ch(']');
}

}  // namespace

std::string thresholder_to_json(const Thresholder& t) {
    JsonWriter w(320 + 24 * (t.kept.size() + t.recent.size() + t.recent_z.size()));
    const threshold::ThresholderConfig& c = t.config;
    w.raw("{\"config\":{\"horizon\":");
    w.u64(c.horizon);
    w.raw(",\"warm_up\":");
    w.u64(c.warm_up);
    w.raw(",\"quantile\":");
    w.f64(c.quantile);
    w.raw(",\"sigmas\":");
    w.f64(c.sigmas);
    w.raw(",\"mean_window\":");
    w.u64(c.mean_window);
    w.raw(",\"min_spread\":");
    w.f64(c.min_spread);
    w.raw(",\"min_score\":");
    w.f64(c.min_score);
    w.raw(",\"suppression\":");
    w.u64(c.suppression);
    w.raw(",\"peak_window\":");
    w.u64(c.peak_window);
    w.raw("},\"steps\":");
    w.u64(t.steps);
    w.raw(",\"since_alarm\":");
    if (t.alarmed)
        w.u64(t.since_alarm);
    else
        w.null();
    w.raw(",\"in_event\":");
    w.boolean(t.in_event);
    // Rings oldest first, whatever slot they write next.
    w.raw(",\"kept\":");
    write_ring(w, t.kept);
    w.raw(",\"recent\":");
    write_ring(w, t.recent);
    w.raw(",\"recent_z\":");
    write_ring(w, t.recent_z);
    w.raw(",\"mean_level\":");
    w.f64(t.mean_level);
    w.raw(",\"mean_variance\":");
    w.f64(t.mean_variance);
    w.ch('}');
    return std::move(w).take();
}

Result<Thresholder> thresholder_from_json(std::string_view text) {
    Reader r(text);
    Thresholder t;
    try {
        read_thresholder(r, t);
        r.finish();
    } catch (json::Positioned& e) {
        return EngineError::io(r.describe(e));
    } catch (json::Unpositioned& e) {
        return EngineError::io(r.describe(json::Positioned{e.message, 0}));
    }
    std::string problem = find_thresholder_inconsistency(t);
    if (!problem.empty()) return EngineError::io(problem);
    // The rings were read oldest first: slot 0 is the oldest (and the next
    // written once full).
    t.sort_kept();
    return t;
}

}  // namespace arbolet::persist
