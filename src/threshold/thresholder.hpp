// Turns a detector's raw scores into alarms and an anomaly grade in [0, 1],
// causally: each step is judged against statistics of the steps before it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/engine_error.hpp"

namespace arbolet::threshold {

struct ThresholderConfig {
    // Steps over which the baseline forgets (exponential weight 1 / horizon).
    std::uint64_t horizon = 1000;
    // Steps that only feed the baseline before any alarm.
    std::uint64_t warm_up = 100;
    // Cut-off: location + sigmas * spread.
    double sigmas = 3.0;
    // Lower bound of the spread, in score units.
    double min_spread = 0.0;
    // Scores at or below this never alarm, whatever the baseline.
    double min_score = 0.0;
    // Steps after an alarm whose grade is 0 (and longer while the scores
    // stay above the cut-off).
    std::uint64_t suppression = 4;
    // An alarm needs a score above every score of this many preceding steps.
    std::uint64_t peak_window = 64;

    friend bool operator==(const ThresholderConfig&, const ThresholderConfig&) = default;
};

// Largest accepted peak_window and horizon: bounds the memory and keeps the
// step weight 1 / horizon meaningful.
inline constexpr std::uint64_t kMaxWindow = std::uint64_t{1} << 24;
inline constexpr std::uint64_t kMaxHorizon = std::uint64_t{1} << 40;

// Largest accepted |score|. The location stays within the scores and the
// deviation below twice this, so no difference or sum in update overflows
// and every state stays finite (and so can be written and read back).
inline constexpr double kMaxScore = 1e300;

// Scores above location + kClip * spread enter the location as that value,
// so that anomalies do not drag it up.
inline constexpr double kClip = 3.0;
// The spread is at least this fraction of |location|: on flat series noise
// must not turn into certainty.
inline constexpr double kRelativeSpread = 0.1;

struct Thresholder {
    ThresholderConfig config;
    std::uint64_t steps = 0;
    double location = 0.0;
    double deviation = 0.0;  // exponentially weighted mean absolute deviation
    bool alarmed = false;    // whether any alarm was raised yet
    // Whether every score since the last alarm stayed above the cut-off: the
    // event that raised it is still going on, and raises no second alarm.
    bool in_event = false;
    std::uint64_t since_alarm = 0;
    // The last min(steps, peak_window) scores, oldest first from `recent_next`
    // once full.
    std::vector<double> recent;
    std::uint64_t recent_next = 0;

    static Result<Thresholder> build(const ThresholderConfig& config);
    // Message of the first bad setting, empty when all are valid.
    static std::string check_config(const ThresholderConfig& config);

    // Judges `score` against the state so far, then learns it. Returns the
    // grade: 0 for an ordinary or suppressed step, in (0, 1] for an alarm.
    Result<double> update(double score);

    // The first step has no baseline to be judged against, whatever warm_up says.
    bool is_ready() const { return steps > 0 && steps >= config.warm_up; }
    double spread() const;
    // The raw score that the next step must exceed (besides the recent peak).
    double threshold() const;

    friend bool operator==(const Thresholder&, const Thresholder&) = default;
};

}  // namespace arbolet::threshold
