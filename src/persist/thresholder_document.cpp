// The Thresholder state document.
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

const RecordSpec kThresholder{"struct Thresholder",
                              "struct Thresholder with 7 elements",
                              {"config", "steps", "location", "deviation", "since_alarm", "in_event", "recent"}};
const RecordSpec kConfig{"struct ThresholderConfig",
                         "struct ThresholderConfig with 7 elements",
                         {"horizon", "warm_up", "sigmas", "min_spread", "min_score", "suppression", "peak_window"}};

constexpr const char* kU64 = "u64";

void read_thresholder(Reader& r, Thresholder& t) {
    r.read_record(kThresholder, [&](int i) {
        switch (i) {
            case 0:
                r.read_record(kConfig, [&](int k) {
                    threshold::ThresholderConfig& c = t.config;
                    switch (k) {
                        case 0: c.horizon = r.read_unsigned(kU64); break;
                        case 1: c.warm_up = r.read_unsigned(kU64); break;
                        case 2: c.sigmas = r.read_f64(); break;
                        case 3: c.min_spread = r.read_f64(); break;
                        case 4: c.min_score = r.read_f64(); break;
                        case 5: c.suppression = r.read_unsigned(kU64); break;
                        case 6: c.peak_window = r.read_unsigned(kU64); break;
                    }
                });
                break;
            case 1: t.steps = r.read_unsigned(kU64); break;
            case 2: t.location = r.read_f64(); break;
            case 3: t.deviation = r.read_f64(); break;
            case 4:
                t.alarmed = !r.take_null();
                t.since_alarm = t.alarmed ? r.read_unsigned(kU64) : 0;
                break;
            case 5: t.in_event = r.read_bool(); break;
            case 6:
                t.recent.clear();
                // Stop storing past the bound; the length check below reports it.
                r.read_seq("a sequence", [&] {
                    const double v = r.read_f64();
                    if (t.recent.size() <= threshold::kMaxWindow) t.recent.push_back(v);
                });
                break;
        }
    });
}

// Empty when the state is one that updates could have produced.
std::string find_inconsistency(const Thresholder& t) {
    std::string bad = Thresholder::check_config(t.config);
    if (!bad.empty()) return "inconsistent state: " + bad;
    using threshold::kMaxScore;
    if (!(std::fabs(t.location) <= kMaxScore)) return "inconsistent state: location is not within +-1e300";
    if (!(t.deviation >= 0.0 && t.deviation <= 2 * kMaxScore))
        return "inconsistent state: deviation is not within 0 and 2e300";
    const std::uint64_t expected = t.steps < t.config.peak_window ? t.steps : t.config.peak_window;
    if (t.recent.size() != expected)
        return "inconsistent state: recent holds " + std::to_string(t.recent.size()) + " scores, expected " +
               std::to_string(expected);
    for (double v : t.recent)
        if (!(std::fabs(v) <= kMaxScore)) return "inconsistent state: a recent score is not within +-1e300";
    if (t.alarmed && t.since_alarm >= t.steps)
        return "inconsistent state: since_alarm is not below steps";
    if (t.in_event && !t.alarmed) return "inconsistent state: in_event without an alarm";
    return {};
}

}  // namespace

std::string thresholder_to_json(const Thresholder& t) {
    JsonWriter w(256 + 24 * t.recent.size());
    const threshold::ThresholderConfig& c = t.config;
    w.raw("{\"config\":{\"horizon\":");
    w.u64(c.horizon);
    w.raw(",\"warm_up\":");
    w.u64(c.warm_up);
    w.raw(",\"sigmas\":");
    w.f64(c.sigmas);
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
    w.raw(",\"location\":");
    w.f64(t.location);
    w.raw(",\"deviation\":");
    w.f64(t.deviation);
    w.raw(",\"since_alarm\":");
    if (t.alarmed)
        w.u64(t.since_alarm);
    else
        w.null();
    w.raw(",\"in_event\":");
    w.boolean(t.in_event);
    // Oldest first, whatever slot the ring writes next.
    w.raw(",\"recent\":[");
    const std::size_t n = t.recent.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) w.ch(',');
        w.f64(t.recent[(t.recent_next + i) % n]);
    }
    w.raw("]}");
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
    std::string problem = find_inconsistency(t);
    if (!problem.empty()) return EngineError::io(problem);
    return t;
}

}  // namespace arbolet::persist
