#include "threshold/thresholder.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace arbolet::threshold {

std::string Thresholder::check_config(const ThresholderConfig& c) {
    if (c.horizon < 1 || c.horizon > kMaxHorizon) return "horizon must be between 1 and 2**40";
    if (!std::isfinite(c.sigmas) || c.sigmas < 0.0) return "sigmas must be finite and not negative";
    if (!std::isfinite(c.min_spread) || c.min_spread < 0.0) return "min_spread must be finite and not negative";
    if (!std::isfinite(c.min_score)) return "min_score must be finite";
    if (c.peak_window > kMaxWindow) return "peak_window must be at most 2**24";
    return {};
}

Result<Thresholder> Thresholder::build(const ThresholderConfig& config) {
    std::string bad = check_config(config);
    if (!bad.empty()) return EngineError::invalid_argument(std::move(bad));
    Thresholder t;
    t.config = config;
    return t;
}

double Thresholder::spread() const {
    return std::max({deviation, config.min_spread, kRelativeSpread * std::fabs(location)});
}

double Thresholder::threshold() const { return std::max(config.min_score, location + config.sigmas * spread()); }

Result<double> Thresholder::update(double score) {
    if (!(std::fabs(score) <= kMaxScore))
        return EngineError::invalid_argument("score must be a finite number of magnitude at most 1e300");
    const double s = spread();
    const double cut = std::max(config.min_score, location + config.sigmas * s);
    bool above_recent = true;
    for (double r : recent) above_recent = above_recent && score > r;
    if (!(score > cut)) in_event = false;
    const bool free = !in_event && (!alarmed || since_alarm >= config.suppression);
    double grade = 0.0;
    if (is_ready() && score > cut && above_recent && free) {
        // How far above the cut-off, relative to it: 1 - cut / score when
        // the cut-off is positive.
        const double excess = score - cut;
        grade = cut == 0.0 ? 1.0 : excess / (excess + std::fabs(cut));
        // An alarm always has a grade above 0, even when the quotient underflows.
        grade = std::max(grade, std::numeric_limits<double>::denorm_min());
        alarmed = true;
        in_event = true;
        since_alarm = 0;
    } else if (alarmed && since_alarm < UINT64_MAX) {
        ++since_alarm;
    }

    if (steps == 0) {
        location = score;
    } else {
        const double w = steps < config.horizon ? 1.0 / static_cast<double>(steps + 1)
                                                : 1.0 / static_cast<double>(config.horizon);
        const double taken = steps >= config.warm_up ? std::min(score, location + kClip * s) : score;
        // The location takes the clipped score, so that anomalies do not drag
        // it up; the deviation takes the whole distance, so that after a level
        // shift the spread widens and the alarms stop.
        const double distance = std::fabs(score - location);
        location += w * (taken - location);
        deviation += w * (distance - deviation);
    }
    if (config.peak_window > 0) {
        if (recent.size() < config.peak_window) {
            recent.push_back(score);
        } else {
            recent[recent_next] = score;
            recent_next = recent_next + 1 == config.peak_window ? 0 : recent_next + 1;
        }
    }
    if (steps < UINT64_MAX) ++steps;
    return grade;
}

}  // namespace arbolet::threshold
