#include <cmath>
#include <string>

#include "persist/monitor_document.hpp"

namespace arbolet::persist {

using monitor::Direction;
using monitor::Monitor;
using monitor::MonotoneQueue;

const char* direction_name(Direction d) {
    switch (d) {
        case Direction::Up: return "up";
        case Direction::Down: return "down";
        default: return "both";
    }
}

bool direction_from_name(std::string_view name, Direction& d) {
    if (name == "both") d = Direction::Both;
    else if (name == "up") d = Direction::Up;
    else if (name == "down") d = Direction::Down;
    else return false;
    return true;
}

namespace {

// A queue as pushes leave it: steps increasing within the window that ends
// at the last step, values strictly falling (highs) or rising (lows), the
// last value pushed at its end.
// `last_value` is null for the changes since one season ago and the
// residuals, which start later and need not be at their end.
std::string check_queue(const MonotoneQueue& q, bool highs, const Monitor& m, const double* last_value,
                        const char* kind, std::uint64_t window) {
    const std::string name = std::string(kind) + (highs ? " highs" : " lows");
    if (m.steps == 0 || (last_value == nullptr && q.empty()))
        return q.empty() ? "" : "inconsistent state: " + name + " hold values before any step";
    if (q.empty() || q.size() > window)
        return "inconsistent state: " + name + " hold " + std::to_string(q.size()) +
               " values for a window of " + std::to_string(window);
    const std::uint64_t oldest = m.steps >= window ? m.steps - window : 0;
    for (std::size_t i = static_cast<std::size_t>(q.head); i < q.entries.size(); ++i) {
        const monitor::Extreme& e = q.entries[i];
        if (!std::isfinite(e.value)) return "inconsistent state: a value of " + name + " is not finite";
        if (e.step < oldest || e.step >= m.steps)
            return "inconsistent state: " + name + " hold step " + std::to_string(e.step) +
                   " outside the window";
        if (i > q.head) {
            const monitor::Extreme& p = q.entries[i - 1];
            if (e.step <= p.step || (highs ? e.value >= p.value : e.value <= p.value))
                return "inconsistent state: " + name + " are out of order";
        }
    }
    const monitor::Extreme& last = q.entries.back();
    if (last_value != nullptr && (last.step != m.steps - 1 || last.value != *last_value))
        return "inconsistent state: " + name + " do not end at the last step";
    return {};
}

// Both queues of a window as pushes leave it: empty together, else ending
// at the same step (the last value pushed is in both).
// `window`: the steps the window covers, range_steps() unless given.
std::string check_window(const monitor::RangeWindow& w, const Monitor& m, const double* last_value, const char* kind,
                         std::uint64_t window = 0) {
    if (window == 0) window = m.range_steps();
    for (bool highs : {true, false}) {
        std::string bad = check_queue(highs ? w.highs : w.lows, highs, m, last_value, kind, window);
        if (!bad.empty()) return bad;
    }
    if (w.highs.empty() != w.lows.empty() ||
        (!w.highs.empty() && !(w.highs.entries.back() == w.lows.entries.back())))
        return std::string("inconsistent state: ") + kind + " highs and lows do not end together";
    return {};
}

// The season's history as remember() leaves it, and its changes.
std::string check_history(const Monitor& m) {
    const monitor::SeasonHistory& h = m.history;
    const std::uint64_t dim = m.config.input_dim;
    if (m.config.season != 0 && h.season != m.config.season)
        return "inconsistent state: the history's season is not the monitor's";
    if (h.season > monitor::kMaxSteps || h.gaps.size() >= monitor::kSeasonGaps || (h.season != 0 && !h.gaps.empty()))
        return "inconsistent state: the season's gaps do not fit its length";
    if (h.gaps.size() > m.steps) return "inconsistent state: more gaps than steps";
    for (std::uint64_t g : h.gaps)
        if (g == 0) return "inconsistent state: a gap between timestamps is 0";
    const std::uint64_t held = h.values.size() / dim;
    if (h.values.size() % dim != 0 || held > h.season || held > m.steps)
        return "inconsistent state: the history holds " + std::to_string(h.values.size()) + " values";
    // A season not yet known (no timestamps, or too few) holds nothing: the next slot is the first.
    if (h.season == 0 ? h.next != 0 : held < h.season ? h.next != held : h.next >= h.season)
        return "inconsistent state: the history's next slot is out of place";
    for (float v : h.values)
        if (!std::isfinite(v)) return "inconsistent state: a value of the history is not finite";
    if (m.season_ranges.size() != dim) return "inconsistent state: season ranges do not match input_dim";
    if (m.score_ranges.size() != m.forests.size()) return "inconsistent state: score ranges do not match the forests";
    for (const monitor::RangeWindow& r : m.score_ranges) {
        if (h.season <= m.config.peak_window && !r.highs.empty())
            return "inconsistent state: score ranges kept for a season within peak_window";
        std::string bad = check_window(r, m, nullptr, "score", m.season_peak_steps());
        if (!bad.empty()) return bad;
    }
    for (const monitor::RangeWindow& r : m.season_ranges) {
        if (held < h.season && !r.highs.empty()) return "inconsistent state: season changes before a whole season";
        std::string bad = check_window(r, m, nullptr, "season");
        if (!bad.empty()) return bad;
    }
    return {};
}

// The relationships as relate() leaves them: none for one coordinate; for
// several, finite means and a symmetric covariance of d * d values with no
// negative variance, partners among the coordinates, and each coordinate's
// residuals kept only since its partner was chosen.
std::string check_relations(const Monitor& m) {
    const monitor::Relations& r = m.relations;
    const std::uint64_t dim = m.config.input_dim;
    const std::size_t d = dim > 1 ? static_cast<std::size_t>(dim) : 0;
    if (r.means.size() != d || r.partners.size() != d || r.held.size() != d || r.residuals.size() != d ||
        (d == 0 ? !r.covariance.empty() : r.covariance.size() / d != d || r.covariance.size() % d != 0))
        return "inconsistent state: the relations do not match input_dim";
    for (double v : r.means)
        if (!std::isfinite(v)) return "inconsistent state: a relation mean is not finite";
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = 0; j < d; ++j) {
            const double c = r.covariance[i * d + j];
            if (!std::isfinite(c) || (i == j && c < 0.0) || c != r.covariance[j * d + i])
                return "inconsistent state: the covariance is not finite, symmetric and without negative variance";
        }
    for (std::size_t i = 0; i < d; ++i) {
        const monitor::RangeWindow& w = r.residuals[i];
        if (r.partners[i] >= d || r.held[i] > m.steps || (r.partners[i] == i && r.held[i] != 0) ||
            (r.held[i] == 0 && !w.highs.empty()) || (r.held[i] != 0 && w.highs.empty()))
            return "inconsistent state: a coordinate's partner does not fit its residuals";
        std::string bad = check_window(w, m, nullptr, "residual");
        if (!bad.empty()) return bad;
        // Residuals were kept since the partner was chosen, at the last step too.
        for (const MonotoneQueue* q : {&w.highs, &w.lows})
            if (!q->empty() && (q->front().step < m.steps - r.held[i] || q->entries.back().step != m.steps - 1))
                return "inconsistent state: residuals were kept since before their partner was chosen";
    }
    return {};
}

}  // namespace

std::string find_monitor_inconsistency(const Monitor& m) {
    const monitor::MonitorConfig& c = m.config;
    std::string bad = Monitor::check_config(c);
    if (!bad.empty()) return "inconsistent state: " + bad;
    const std::vector<rcf::RcfConfig> expected = Monitor::forest_configs(c);
    if (m.forests.size() != expected.size() || m.thresholders.size() != expected.size())
        return "inconsistent state: " + std::to_string(m.forests.size()) + " forests and " +
               std::to_string(m.thresholders.size()) + " thresholders, expected " + std::to_string(expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        rcf::RcfConfig held = m.forests[k].config;
        held.initial_accept_fraction = expected[k].initial_accept_fraction;
        if (!(held == expected[k]))
            return "inconsistent state: forest " + std::to_string(k) + " does not have the monitor's settings";
        if (m.forests[k].entries_seen != m.steps)
            return "inconsistent state: forest " + std::to_string(k) + " has seen " +
                   std::to_string(m.forests[k].entries_seen) + " observations, the monitor " + std::to_string(m.steps);
        if (!(m.thresholders[k].config == Monitor::thresholder_config(c, expected[k])))
            return "inconsistent state: thresholder " + std::to_string(k) + " does not have the monitor's settings";
    }
    if (m.ranges.size() != c.input_dim || m.levels.size() != c.input_dim || m.jitters.size() != c.input_dim)
        return "inconsistent state: " + std::to_string(m.ranges.size()) + " ranges, " +
               std::to_string(m.levels.size()) + " levels and " + std::to_string(m.jitters.size()) +
               " jitters, expected " + std::to_string(c.input_dim) + " of each";
    for (std::size_t i = 0; i < m.ranges.size(); ++i) {
        if (!std::isfinite(m.levels[i])) return "inconsistent state: a level is not finite";
        if (!(m.jitters[i] >= 0.0) || !std::isfinite(m.jitters[i]))
            return "inconsistent state: a jitter is negative or not finite";
        const double last = m.steps == 0 ? 0.0 : m.ranges[i].highs.entries.empty() ? 0.0 : m.ranges[i].highs.entries.back().value;
        bad = check_window(m.ranges[i], m, &last, "range");
        if (!bad.empty()) return bad;
    }
    if (m.runs.size() != c.input_dim)
        return "inconsistent state: " + std::to_string(m.runs.size()) + " flat runs, expected " +
               std::to_string(c.input_dim);
    for (const monitor::FlatRun& run : m.runs)
        if (!std::isfinite(run.value) || run.length > m.steps || run.longest > m.steps || (m.steps > 0) != (run.length > 0))
            return "inconsistent state: a flat run does not fit the steps seen";
    bad = check_history(m);
    if (!bad.empty()) return bad;
    bad = check_relations(m);
    if (!bad.empty()) return bad;
    if (m.since_alarm && *m.since_alarm >= m.steps)
        return "inconsistent state: steps_since_alarm is not below the steps seen";
    return {};
}

}  // namespace arbolet::persist
