// The Monitor state document.
#include <string>

#include "persist/documents.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/monitor_document.hpp"
#include "persist/thresholder_document.hpp"

namespace arbolet::persist {

using monitor::Monitor;
using monitor::MonotoneQueue;

namespace {

void write_queue(JsonWriter& w, const MonotoneQueue& q) {
    w.ch('[');
    for (std::size_t i = static_cast<std::size_t>(q.head); i < q.entries.size(); ++i) {
        if (i != q.head) w.ch(',');
        w.ch('[');
        w.u64(q.entries[i].step);
        w.ch(',');
        w.f64(q.entries[i].value);
        w.ch(']');
    }
    w.ch(']');
}

// Stops storing past the largest window; the consistency check reports it.
void read_queue(json::Reader& r, MonotoneQueue& q) {
    q.entries.clear();
    q.head = 0;
    r.read_seq("a sequence", [&] {
        monitor::Extreme e{};
        r.read_fixed(2, "a pair of step and value", [&](std::size_t i) {
            if (i == 0) e.step = r.read_unsigned("u64");
            else e.value = r.read_f64();
        });
        if (q.entries.size() <= monitor::kMaxSteps) q.entries.push_back(e);
    });
}

const json::RecordSpec kSettings{
    "struct MonitorConfig", "struct MonitorConfig with 14 elements",
    {"input_dim", "shingle_size", "num_trees", "capacity", "range_window", "range_margin", "warm_up", "suppression",
     "direction", "quantile", "peak_window", "min_grade", "season", "season_margin"}};
const json::RecordSpec kRange{"struct RangeWindow", "struct RangeWindow with 2 elements", {"highs", "lows"}};
const json::RecordSpec kHistory{
    "struct SeasonHistory", "struct SeasonHistory with 4 elements", {"season", "gaps", "values", "next"}};
const json::RecordSpec kMonitor{
    "struct Monitor", "struct Monitor with 14 elements",
    {"settings", "steps", "steps_since_alarm", "last_timestamp", "levels", "ranges", "forests", "thresholders",
     "format", "history", "season_ranges", "flat_runs", "relations", "jitters"}};
const json::RecordSpec kRelations{"struct Relations",
                                  "struct Relations with 5 elements",
                                  {"means", "covariance", "partners", "held", "residuals"}};

void write_ranges(JsonWriter& w, const std::vector<monitor::RangeWindow>& ranges) {
    w.ch('[');
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        w.raw(i == 0 ? "{\"highs\":" : ",{\"highs\":");
        write_queue(w, ranges[i].highs);
        w.raw(",\"lows\":");
        write_queue(w, ranges[i].lows);
        w.ch('}');
    }
    w.ch(']');
}

void read_ranges(json::Reader& r, std::vector<monitor::RangeWindow>& ranges) {
    ranges.clear();
    r.read_seq("a sequence", [&] {
        monitor::RangeWindow w;
        r.read_record(kRange, [&](int f) { read_queue(r, f == 0 ? w.highs : w.lows); });
        if (ranges.size() <= monitor::kMaxSteps) ranges.push_back(std::move(w));
    });
}

// Raised inside the reader for a nested part that its own reader refused.
struct PartFault {
    std::string message;
};

}  // namespace

std::string monitor_to_json(const Monitor& m) {
    const monitor::MonitorConfig& c = m.config;
    JsonWriter w(4096);
    w.raw("{\"settings\":{\"input_dim\":");
    w.u64(c.input_dim);
    w.raw(",\"shingle_size\":");
    w.u64(c.shingle_size);
    w.raw(",\"num_trees\":");
    w.u64(c.num_trees);
    w.raw(",\"capacity\":");
    w.u64(c.capacity);
    w.raw(",\"range_window\":");
    w.u64(c.range_window);
    w.raw(",\"range_margin\":");
    w.f64(c.range_margin);
    w.raw(",\"warm_up\":");
    w.u64(c.warm_up);
    w.raw(",\"suppression\":");
    w.u64(c.suppression);
    w.raw(",\"direction\":\"");
    w.raw(direction_name(c.direction));
    w.raw("\",\"quantile\":");
    w.f64(c.quantile);
    w.raw(",\"peak_window\":");
    w.u64(c.peak_window);
    w.raw(",\"min_grade\":");
    w.f64(c.min_grade);
    w.raw(",\"season\":");
    w.u64(c.season);
    w.raw(",\"season_margin\":");
    w.f64(c.season_margin);
    w.raw("},\"steps\":");
    w.u64(m.steps);
    w.raw(",\"steps_since_alarm\":");
    if (m.since_alarm) w.u64(*m.since_alarm);
    else w.null();
    w.raw(",\"last_timestamp\":");
    if (m.last_timestamp) w.u64(*m.last_timestamp);
    else w.null();
    w.raw(",\"levels\":");
    w.list(m.levels);
    w.raw(",\"jitters\":");
    w.list(m.jitters);
    w.raw(",\"ranges\":");
    write_ranges(w, m.ranges);
    w.raw(",\"history\":{\"season\":");
    w.u64(m.history.season);
    w.raw(",\"gaps\":");
    w.list(m.history.gaps);
    w.raw(",\"values\":");
    w.list(m.history.values);
    w.raw(",\"next\":");
    w.u64(m.history.next);
    w.raw("},\"season_ranges\":");
    write_ranges(w, m.season_ranges);
    // Each run as [value, length, longest].
    w.raw(",\"flat_runs\":[");
    for (std::size_t i = 0; i < m.runs.size(); ++i) {
        w.raw(i == 0 ? "[" : ",[");
        w.f32(m.runs[i].value);
        w.ch(',');
        w.u64(m.runs[i].length);
        w.ch(',');
        w.u64(m.runs[i].longest);
        w.ch(']');
    }
    w.ch(']');
    w.raw(",\"relations\":{\"means\":");
    w.list(m.relations.means);
    w.raw(",\"covariance\":");
    w.list(m.relations.covariance);
    w.raw(",\"partners\":");
    w.list(m.relations.partners);
    w.raw(",\"held\":");
    w.list(m.relations.held);
    w.raw(",\"residuals\":");
    write_ranges(w, m.relations.residuals);
    w.ch('}');
    w.raw(",\"forests\":[");
    for (std::size_t k = 0; k < m.forests.size(); ++k) {
        if (k != 0) w.ch(',');
        w.raw(forest_to_json(m.forests[k]));
    }
    w.raw("],\"thresholders\":[");
    for (std::size_t k = 0; k < m.thresholders.size(); ++k) {
        if (k != 0) w.ch(',');
        w.raw(thresholder_to_json(m.thresholders[k]));
    }
    w.raw("],\"format\":1}");
    return std::move(w).take();
}

Result<Monitor> monitor_from_json(std::string_view text) {
    json::Reader r(text);
    Monitor m;
    try {
        {
            r.read_record(kMonitor, [&](int field) {
                switch (field) {
                    case 0:
                        r.read_record(kSettings, [&](int f) {
                            monitor::MonitorConfig& c = m.config;
                            switch (f) {
                                case 0: c.input_dim = r.read_unsigned("u64"); break;
                                case 1: c.shingle_size = r.read_unsigned("u64"); break;
                                case 2: c.num_trees = r.read_unsigned("u64"); break;
                                case 3: c.capacity = r.read_unsigned("u64"); break;
                                case 4: c.range_window = r.read_unsigned("u64"); break;
                                case 5: c.range_margin = r.read_f64(); break;
                                case 6: c.warm_up = r.read_unsigned("u64"); break;
                                case 7: c.suppression = r.read_unsigned("u64"); break;
                                case 8: {
                                    if (r.peek_value() != '"') r.fail_invalid_type("a direction name");
                                    const std::string name(r.read_string());
                                    if (!direction_from_name(name, c.direction))
                                        r.fail_here("unknown direction `" + name + "`, expected both, up or down");
                                    break;
                                }
                                case 9: c.quantile = r.read_f64(); break;
                                case 10: c.peak_window = r.read_unsigned("u64"); break;
                                case 11: c.min_grade = r.read_f64(); break;
                                case 12: c.season = r.read_unsigned("u64"); break;
                                default: c.season_margin = r.read_f64(); break;
                            }
                        });
                        break;
                    case 1: m.steps = r.read_unsigned("u64"); break;
                    case 2:
                        if (r.take_null()) m.since_alarm.reset();
                        else m.since_alarm = r.read_unsigned("u64");
                        break;
                    case 3:
                        if (r.take_null()) m.last_timestamp.reset();
                        else m.last_timestamp = r.read_unsigned("u64");
                        break;
                    case 4:
                        m.levels.clear();
                        r.read_seq("a sequence", [&] {
                            const double v = r.read_f64();
                            if (m.levels.size() <= monitor::kMaxSteps) m.levels.push_back(v);
                        });
                        break;
                    case 5: read_ranges(r, m.ranges); break;
                    case 13:
                        m.jitters.clear();
                        r.read_seq("a sequence", [&] {
                            const double v = r.read_f64();
                            if (m.jitters.size() <= monitor::kMaxSteps) m.jitters.push_back(v);
                        });
                        break;
                    case 6:
                        m.forests.clear();
                        r.read_seq("a sequence", [&] {
                            Result<rcf::Forest> f = forest_from_json(r.raw_value());
                            if (!f) throw PartFault{"forest " + std::to_string(m.forests.size()) + ": " + f.error().text};
                            if (m.forests.size() < 2) m.forests.push_back(std::move(f).value());
                            else throw PartFault{"inconsistent state: more than two forests"};
                        });
                        break;
                    case 7:
                        m.thresholders.clear();
                        r.read_seq("a sequence", [&] {
                            Result<threshold::Thresholder> t = thresholder_from_json(r.raw_value());
                            if (!t)
                                throw PartFault{"thresholder " + std::to_string(m.thresholders.size()) + ": " +
                                                t.error().text};
                            if (m.thresholders.size() < 2) m.thresholders.push_back(std::move(t).value());
                            else throw PartFault{"inconsistent state: more than two thresholders"};
                        });
                        break;
                    case 8:
                        if (r.read_unsigned("u64") != 1) r.fail_here("unknown monitor document format");
                        break;
                    case 9:
                        r.read_record(kHistory, [&](int f) {
                            monitor::SeasonHistory& h = m.history;
                            switch (f) {
                                case 0: h.season = r.read_unsigned("u64"); break;
                                case 1:
                                    h.gaps.clear();
                                    r.read_seq("a sequence", [&] {
                                        const std::uint64_t g = r.read_unsigned("u64");
                                        if (h.gaps.size() <= monitor::kSeasonGaps) h.gaps.push_back(g);
                                    });
                                    break;
                                case 2:
                                    h.values.clear();
                                    r.read_seq("a sequence", [&] {
                                        const float v = r.read_f32();
                                        if (h.values.size() <= monitor::kMaxSteps) h.values.push_back(v);
                                    });
                                    break;
                                default: h.next = r.read_unsigned("u64"); break;
                            }
                        });
                        break;
                    case 10: read_ranges(r, m.season_ranges); break;
                    case 12:
                        r.read_record(kRelations, [&](int f) {
                            monitor::Relations& rel = m.relations;
                            auto read_doubles = [&](std::vector<double>& out) {
                                out.clear();
                                r.read_seq("a sequence", [&] {
                                    const double v = r.read_f64();
                                    if (out.size() <= monitor::kMaxSteps) out.push_back(v);
                                });
                            };
                            auto read_counts = [&](std::vector<std::uint64_t>& out) {
                                out.clear();
                                r.read_seq("a sequence", [&] {
                                    const std::uint64_t v = r.read_unsigned("u64");
                                    if (out.size() <= monitor::kMaxSteps) out.push_back(v);
                                });
                            };
                            switch (f) {
                                case 0: read_doubles(rel.means); break;
                                case 1: read_doubles(rel.covariance); break;
                                case 2: read_counts(rel.partners); break;
                                case 3: read_counts(rel.held); break;
                                default: read_ranges(r, rel.residuals); break;
                            }
                        });
                        break;
                    default:
                        m.runs.clear();
                        r.read_seq("a sequence", [&] {
                            monitor::FlatRun run;
                            r.read_fixed(3, "a run of value, length and longest", [&](std::size_t i) {
                                if (i == 0) run.value = r.read_f32();
                                else if (i == 1) run.length = r.read_unsigned("u64");
                                else run.longest = r.read_unsigned("u64");
                            });
                            if (m.runs.size() <= monitor::kMaxSteps) m.runs.push_back(run);
                        });
                        break;
                }
            });
            r.finish();
        }
    } catch (json::Positioned& e) {
        return EngineError::io(r.describe(e));
    } catch (json::Unpositioned& e) {
        return EngineError::io(r.describe(json::Positioned{e.message, 0}));
    } catch (PartFault& e) {
        return EngineError::io(std::move(e.message));
    }
    std::string bad = find_monitor_inconsistency(m);
    if (!bad.empty()) return EngineError::io(std::move(bad));
    return m;
}

}  // namespace arbolet::persist
