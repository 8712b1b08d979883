#include "monitor/monitor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "random/xoshiro.hpp"
#include "threshold/forest_policy.hpp"

namespace arbolet::monitor {

namespace {

constexpr std::uint64_t kDaySeconds = 86400;

// The weight of a new value in a coordinate's level: it follows the recent
// past over about this many steps' inverse.
constexpr double kLevelWeight = 0.125;

// Beyond a range by this fraction of it, a value's grade is 1/2, whatever
// the margin: grades of the range and seasonal tests compare.
constexpr double kHalfGradeBeyond = 0.25;

// The seasonal test's range of changes counts as at least this fraction of
// the values' range.
constexpr double kLeastChangeSpan = 0.01;

// The grade of a flat line: certain, but with no size to grade it by.
constexpr double kFlatGrade = 0.5;

// The grade of a value `beyond` its range (a fraction of the range), 0
// within the margin, in (0, 1) past it: 0 at the range, towards 1 far out.
double range_grade(double beyond, double margin) {
    if (!(beyond > margin)) return 0.0;
    if (std::isinf(beyond)) return 1.0;
    return std::max(beyond / (beyond + kHalfGradeBeyond), std::numeric_limits<double>::denorm_min());
}

// How far x lies beyond [lo, hi], as fractions of `span` (above, below);
// infinite beyond a range of no width.
struct Beyond {
    double over, under;
};
Beyond beyond(double x, double lo, double hi, double span) {
    return {span > 0.0 ? (x - hi) / span : (x > hi ? HUGE_VAL : 0.0),
            span > 0.0 ? (lo - x) / span : (x < lo ? HUGE_VAL : 0.0)};
}

// A second seed for the shingled forest, fixed by the first.
std::uint64_t mixed_seed(std::uint64_t seed) {
    std::uint64_t z = seed + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

}  // namespace

std::string Monitor::check_config(const MonitorConfig& c) {
    if (c.input_dim < 1) return "input_dim must be at least 1";
    if (c.shingle_size < 1) return "shingle_size must be at least 1";
    if (c.range_window < 1 || c.range_window > kMaxSteps) return "range_window must be between 1 and 2**24";
    if (!std::isfinite(c.range_margin) || c.range_margin < 0.0) return "range_margin must be finite and not negative";
    if (c.warm_up > kMaxSteps) return "warm_up must be at most 2**24";
    if (c.suppression > kMaxSteps) return "suppression must be at most 2**24";
    if (c.direction != Direction::Both && c.direction != Direction::Up && c.direction != Direction::Down)
        return "direction must be 'both', 'up' or 'down'";
    if (!(c.quantile >= 0.0 && c.quantile <= 1.0)) return "quantile must be between 0 and 1";
    if (c.peak_window > threshold::kMaxWindow) return "peak_window must be at most 2**24";
    if (!(c.min_grade >= 0.0 && c.min_grade <= 1.0)) return "min_grade must be between 0 and 1";
    if (c.season > kMaxSteps) return "season must be at most 2**24";
    if (!std::isfinite(c.season_margin) || c.season_margin < 0.0)
        return "season_margin must be finite and not negative";
    return {};
}

std::vector<rcf::RcfConfig> Monitor::forest_configs(const MonitorConfig& c) {
    std::vector<rcf::RcfConfig> out;
    for (std::uint64_t shingle : {std::uint64_t{1}, c.shingle_size}) {
        if (!out.empty() && shingle == 1) break;
        rcf::RcfConfig f;
        f.input_dim = c.input_dim;
        f.shingle_size = shingle;
        f.capacity = c.capacity;
        f.num_trees = c.num_trees;
        out.push_back(f);
    }
    return out;
}

threshold::ThresholderConfig Monitor::thresholder_config(const MonitorConfig& c, const rcf::RcfConfig& forest) {
    threshold::ThresholderConfig t = threshold::config_for_forest(forest);
    t.quantile = c.quantile;
    t.peak_window = c.peak_window;
    return t;
}

Result<Monitor> Monitor::build(const MonitorConfig& config, std::optional<std::uint64_t> seed) {
    std::string bad = check_config(config);
    if (!bad.empty()) return EngineError::invalid_argument(std::move(bad));
    const std::uint64_t first = seed ? *seed : Xoshiro256PlusPlus::from_os_random().next_u64();
    Monitor m;
    m.config = config;
    std::uint64_t forest_seed = first;
    for (const rcf::RcfConfig& fc : forest_configs(config)) {
        Result<rcf::Forest> forest = rcf::Forest::build(fc, forest_seed);
        if (!forest) return forest.take_error();
        Result<threshold::Thresholder> t = threshold::Thresholder::build(thresholder_config(config, fc));
        if (!t) return t.take_error();
        t.value().steps_to_skip = forest.value().updates_until_ready();
        m.forests.push_back(std::move(forest).value());
        m.thresholders.push_back(std::move(t).value());
        forest_seed = mixed_seed(forest_seed);
    }
    m.score_ranges.resize(m.forests.size());
    m.ranges.resize(config.input_dim);
    m.season_ranges.resize(config.input_dim);
    m.history.season = config.season;
    m.levels.assign(config.input_dim, 0.0);
    m.jitters.assign(config.input_dim, 0.0);
    m.runs.resize(config.input_dim);
    if (config.input_dim > 1) {
        const std::size_t d = static_cast<std::size_t>(config.input_dim);
        m.relations.means.assign(d, 0.0);
        m.relations.covariance.assign(d * d, 0.0);
        m.relations.partners.resize(d);
        for (std::size_t i = 0; i < d; ++i) m.relations.partners[i] = i;
        m.relations.held.assign(d, 0);
        m.relations.residuals.resize(d);
    }
    return m;
}

bool Monitor::observe_season(std::optional<std::uint64_t> timestamp) {
    if (history.season == 0 && timestamp && last_timestamp && *timestamp > *last_timestamp &&
        history.gaps.size() < kSeasonGaps) {
        history.gaps.push_back(*timestamp - *last_timestamp);
        if (history.gaps.size() == kSeasonGaps) {
            std::vector<std::uint64_t> sorted = history.gaps;
            std::sort(sorted.begin(), sorted.end());
            const std::uint64_t gap = sorted[kSeasonGaps / 2];
            history.season = std::clamp<std::uint64_t>((kDaySeconds + gap / 2) / gap, 1, kMaxSteps);
            history.gaps.clear();
        }
    }
    // The history holds a whole season once as many steps were remembered.
    return history.season != 0 && history.values.size() == history.season * config.input_dim;
}

void Monitor::remember(std::span<const float> point, const std::vector<bool>& keep_reference) {
    if (history.season == 0) return;
    const std::size_t dim = point.size();
    if (history.values.size() < history.season * dim) {
        history.values.insert(history.values.end(), point.begin(), point.end());
        history.next = history.values.size() == history.season * dim ? 0 : history.values.size() / dim;
        return;
    }
    float* slot = history.values.data() + history.next * dim;
    for (std::size_t i = 0; i < dim; ++i)
        if (!keep_reference[i]) slot[i] = point[i];
    history.next = history.next + 1 == history.season ? 0 : history.next + 1;
}

std::uint64_t Monitor::warm_steps() const {
    return config.warm_up > kMaxSteps / config.input_dim ? kMaxSteps : config.warm_up * config.input_dim;
}

std::uint64_t Monitor::season_peak_steps() const {
    return history.season + history.season / 4;
}

std::uint64_t Monitor::range_steps() const {
    return config.range_window > kMaxSteps / config.input_dim ? kMaxSteps : config.range_window * config.input_dim;
}

double Monitor::relate(std::span<const float> point, bool judge) {
    Relations& r = relations;
    const std::size_t d = r.means.size();
    const double* cov = r.covariance.data();
    // The absolute correlation of coordinates i and j (0 without variance).
    auto correlation = [&](std::size_t i, std::size_t j) {
        const double vi = cov[i * d + i], vj = cov[j * d + j];
        return vi > 0.0 && vj > 0.0 ? std::abs(cov[i * d + j]) / std::sqrt(vi * vj) : 0.0;
    };
    double grade = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
        // The partner is kept while it stays correlated; another is chosen
        // only after the warm-up, from a covariance that has seen it.
        std::size_t partner = static_cast<std::size_t>(r.partners[i]);
        if (partner == i || correlation(i, partner) < kLeastCorrelation) {
            std::size_t best = i;
            double best_corr = kLeastCorrelation;
            if (steps >= config.warm_up)
                for (std::size_t j = 0; j < d; ++j) {
                    if (j == i) continue;
                    const double c = correlation(i, j);
                    if (c >= best_corr && (best == i || c > best_corr)) best = j, best_corr = c;
                }
            if (best != partner) {
                r.partners[i] = best;
                r.held[i] = 0;
                r.residuals[i] = RangeWindow{};
            }
            partner = best;
        }
        if (partner == i) continue;
        const double slope = cov[i * d + partner] / cov[partner * d + partner];
        const double residual = static_cast<double>(point[i]) - r.means[i] -
                                slope * (static_cast<double>(point[partner]) - r.means[partner]);
        if (!std::isfinite(residual)) {
            // Not reached from updates (values are floats); a loaded
            // covariance could make it so: no partner then.
            r.partners[i] = i;
            r.held[i] = 0;
            r.residuals[i] = RangeWindow{};
            continue;
        }
        // Residuals are noise about 0 whose extremes keep growing, as the
        // changes since one season ago are: they need the seasonal margin,
        // not the narrow one of values that keep to a level.
        RangeWindow& window = r.residuals[i];
        if (judge && r.held[i] >= warm_steps() && !window.empty()) {
            const double hi = window.high(), lo = window.low(), span = hi - lo;
            const auto [over, under] = beyond(residual, lo, hi, span);
            grade = std::max({grade, range_grade(over, config.season_margin), range_grade(under, config.season_margin)});
        }
        window.push(steps, residual, range_steps());
        if (r.held[i] < UINT64_MAX) ++r.held[i];
    }
    // Exponentially weighted means and covariance, remembering about as many
    // steps as the range test's window (all of them, equally, before).
    if (d > 0) {
        const double w = std::max(1.0 / static_cast<double>(steps + 1), 1.0 / static_cast<double>(config.range_window));
        double* c = r.covariance.data();
        for (std::size_t i = 0; i < d; ++i) {
            const double di = static_cast<double>(point[i]) - r.means[i];
            for (std::size_t j = i; j < d; ++j) {
                const double dj = static_cast<double>(point[j]) - r.means[j];
                c[i * d + j] = (1.0 - w) * (c[i * d + j] + w * di * dj);
                c[j * d + i] = c[i * d + j];
            }
        }
        for (std::size_t i = 0; i < d; ++i) r.means[i] += w * (static_cast<double>(point[i]) - r.means[i]);
    }
    return grade;
}

bool Monitor::is_ready() const {
    if (steps < warm_steps()) return false;
    for (const threshold::Thresholder& t : thresholders)
        if (t.steps_to_skip > 0 || !t.is_ready()) return false;
    return true;
}

Result<Verdict> Monitor::update(std::span<const float> point, std::optional<std::uint64_t> timestamp) {
    Status fits = forests.front().check_observation(point);
    if (!fits) return fits.take_error();
    if (timestamp && last_timestamp && *timestamp < *last_timestamp)
        return EngineError::invalid_argument("timestamp " + std::to_string(*timestamp) + " is before the last one (" +
                                             std::to_string(*last_timestamp) + "): time must not go back");
    for (rcf::Forest& f : forests) f.make_update_room();

    const std::size_t dim = point.size();
    Verdict v;
    v.lower.assign(dim, -std::numeric_limits<double>::infinity());
    v.upper.assign(dim, std::numeric_limits<double>::infinity());
    // The side of the recent level the observation lies on.
    bool above = false, below = false;
    for (std::size_t i = 0; i < dim; ++i) {
        above = above || point[i] > levels[i];
        below = below || point[i] < levels[i];
    }
    const bool up_ok = config.direction != Direction::Down;
    const bool down_ok = config.direction != Direction::Up;
    const bool side_ok = steps == 0 || (up_ok && above) || (down_ok && below);

    double grade = 0.0;
    if (steps >= warm_steps() && !ranges.front().empty()) {
        for (std::size_t i = 0; i < dim; ++i) {
            const double hi = ranges[i].high(), lo = ranges[i].low(), span = hi - lo;
            const double x = point[i];
            const double jitter = jitters[i];
            v.lower[i] = lo - std::max(config.range_margin * span, jitter);
            v.upper[i] = hi + std::max(config.range_margin * span, jitter);
            auto [over, under] = beyond(x, lo, hi, span);
            if (!(x - hi > jitter)) over = 0.0;
            if (!(lo - x > jitter)) under = 0.0;
            if (up_ok) grade = std::max(grade, range_grade(over, config.range_margin));
            if (down_ok) grade = std::max(grade, range_grade(under, config.range_margin));
        }
    }
    for (std::size_t k = 0; k < forests.size(); ++k) {
        Result<double> raw = forests[k].score_and_update(point);
        if (!raw) return raw.take_error();  // not reached: the observation was checked
        if (k == 0) v.score = raw.value();
        Result<double> g = thresholders[k].update(raw.value());
        if (!g) return g.take_error();
        double forest_grade = g.value();
        if (history.season > config.peak_window) {
            RangeWindow& peaks = score_ranges[k];
            if (!peaks.empty() && !(raw.value() > peaks.high())) forest_grade = 0.0;
            peaks.push(steps, raw.value(), season_peak_steps());
        }
        if (side_ok) grade = std::max(grade, forest_grade);
    }

    // Coordinates whose change since one season ago alarmed keep that
    // season's value as the next season's reference: an outlier would
    // otherwise alarm again one season later, as the change back.
    std::vector<bool> keep_reference(dim, false);
    if (observe_season(timestamp)) {
        // The observation one season ago, and the changes since then.
        const std::size_t slot = static_cast<std::size_t>(history.next);
        const bool judged = steps >= warm_steps() + history.season;
        for (std::size_t i = 0; i < dim; ++i) {
            const double change = static_cast<double>(point[i]) - history.values[slot * dim + i];
            RangeWindow& changes = season_ranges[i];
            if (judged && !changes.empty()) {
                // Changes far smaller than the values' own range (the rounding
                // of a perfectly periodic stream) do not count.
                const double value_span = ranges[i].empty() ? 0.0 : ranges[i].high() - ranges[i].low();
                const double hi = changes.high(), lo = changes.low();
                const double span = std::max(hi - lo, kLeastChangeSpan * value_span);
                const auto [over, under] = beyond(change, lo, hi, span);
                const double g = std::max(up_ok ? range_grade(over, config.season_margin) : 0.0,
                                          down_ok ? range_grade(under, config.season_margin) : 0.0);
                keep_reference[i] = g > 0.0;
                grade = std::max(grade, g);
            }
            changes.push(steps, change, range_steps());
        }
    }

    // A stuck coordinate: one value for longer than any ordinary run. A run
    // counts towards the ordinary ones when it ends, unless it alarmed: it
    // grew too long after the test was armed (after the warm-up and the
    // first season).
    const std::uint64_t armed_from =
        std::max(config.warm_up, history.season <= config.range_window ? history.season : 0);
    for (std::size_t i = 0; i < dim; ++i) {
        FlatRun& run = runs[i];
        // The run's value is the previous observation's.
        if (steps > 0) {
            const double w = std::max(1.0 / static_cast<double>(steps), 1.0 / static_cast<double>(config.range_window));
            jitters[i] += w * (std::abs(static_cast<double>(point[i]) - static_cast<double>(run.value)) - jitters[i]);
        }
        if (steps > 0 && point[i] == run.value) {
            if (run.length < UINT64_MAX) ++run.length;
        } else {
            const std::uint64_t limit = run.limit();
            // The step at which the run grew one too long, if it did.
            const bool alarmed = run.length > limit && steps - run.length + limit >= armed_from;
            if (!alarmed) run.longest = std::max(run.longest, run.length);
            run.value = point[i];
            run.length = 1;
        }
        if (config.direction == Direction::Both && steps >= armed_from && run.length == run.limit() + 1)
            grade = std::max(grade, kFlatGrade);
    }

    // Coordinates that stop moving together (armed as the flat-line test).
    const double related = relate(point, config.direction == Direction::Both && steps >= armed_from);
    grade = std::max(grade, related);

    // A stream is only known once it has been through a whole season:
    // before, each new high of the day's rise would alarm. A season longer
    // than the range window (a day of seconds) is never wholly in view, and
    // would silence the start of a stream for as long.
    const bool settled = history.season > config.range_window || steps >= history.season;
    const bool quiet = !settled || (since_alarm && *since_alarm < config.suppression);
    v.grade = quiet || grade < config.min_grade ? 0.0 : grade;
    v.alarm = v.grade > 0.0;
    if (v.alarm) {
        since_alarm = 0;
    } else if (since_alarm) {
        ++*since_alarm;
    }
    remember(point, keep_reference);
    for (std::size_t i = 0; i < dim; ++i) {
        ranges[i].push(steps, point[i], range_steps());
        levels[i] = steps == 0 ? point[i] : levels[i] + kLevelWeight * (point[i] - levels[i]);
    }
    ++steps;
    if (timestamp) last_timestamp = timestamp;
    return v;
}

}  // namespace arbolet::monitor
