// Turns a detector's raw scores into alarms and an anomaly grade in [0, 1],
// causally: each step is judged against statistics of the steps before it.
//
// Two tests, either of which alarms:
// - a single score above a high quantile of the recent ordinary scores by a
//   margin (and above an absolute floor): spikes, dips and the start of
//   level shifts;
// - the mean of the last few scores far above the long-run level of such
//   means, in units of their spread (the likelihood of the recent average
//   under the long-run distribution): changes that raise every score a
//   little for a while, which no single score shows.
// A third, the burst test, is off unless set (Thresholder.for_mstream sets
// it): too many of the last few scores above the quantile, for detectors
// that score many records per event.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/engine_error.hpp"
#include "threshold/ordered_values.hpp"

namespace arbolet::threshold {

struct ThresholderConfig {
    // Ordinary scores kept for the quantile; also the longest memory of the
    // mean's level and spread (exponential weight 1 / horizon).
    std::uint64_t horizon = 3000;
    // Steps that only feed the statistics before any alarm.
    std::uint64_t warm_up = 100;
    // A single score alarms above this quantile of the kept scores.
    double quantile = 0.995;
    // The mean of the last mean_window scores alarms this many spreads above
    // its long-run level.
    double sigmas = 5.0;
    // Scores averaged by the second test; 0 turns that test off.
    std::uint64_t mean_window = 50;
    // Lower bound of the margin of a single score over the quantile and of
    // the spread of the mean, in score units.
    double min_spread = 0.0;
    // Single scores at or below this never alarm, whatever the statistics.
    double min_score = 0.0;
    // Steps after an alarm whose grade is 0; their scores are not kept as
    // ordinary ones either.
    std::uint64_t suppression = 4;
    // An alarm needs a score above every one of this many preceding steps
    // (0 turns the rule off), and a mean's z above every one of the last
    // max(mean_window, peak_window).
    std::uint64_t peak_window = 64;
    // A single score must exceed the quantile by at least this fraction of
    // the kept scores' |median| (and min_spread): on flat series noise must
    // not turn into certainty, and the top of ordinary noise does not alarm.
    double margin = 0.1;
    // Judge sign(s) * log(1 + |s|) instead of each score s: for scores with
    // a long tail (MStream's), whose largest ordinary values would otherwise
    // swamp the statistics.
    bool log_scores = false;
    // The burst test: of the last burst_window scores, the share above the
    // quantile of the kept scores, against the share 1 - quantile that the
    // quantile leaves above it. It alarms when the log-likelihood ratio of
    // that share (in nats) exceeds burst_level: one odd record alone never
    // alarms, a run of modestly odd ones does. 0 turns the test off.
    std::uint64_t burst_window = 0;
    double burst_level = 20.0;

    friend bool operator==(const ThresholderConfig&, const ThresholderConfig&) = default;
};

// Largest accepted horizon, mean_window and peak_window: bounds the memory,
// and keeps a sum of mean_window scores finite.
inline constexpr std::uint64_t kMaxWindow = std::uint64_t{1} << 24;

// Largest accepted |score|. A sum of kMaxWindow such scores stays finite,
// and every stored value is clamped within it, so every state can be
// written and read back.
inline constexpr double kMaxScore = 1e300;

// The mean's spread is at least this fraction of its level divided by
// sqrt(mean_window): on flat series noise must not turn into certainty.
inline constexpr double kRelativeSpread = 0.1;

// The last values pushed, at most `capacity` of them, oldest first through at().
struct Ring {
    std::vector<double> values;
    std::uint64_t next = 0;  // slot written next once full (then the oldest)

    void push(double v, std::uint64_t capacity);
    double at(std::size_t i) const {
        const std::size_t n = values.size();
        const std::size_t head = next < n ? static_cast<std::size_t>(next) : 0;
        const std::size_t k = head + i;
        return values[k < n ? k : k - n];
    }
    std::size_t size() const { return values.size(); }

    friend bool operator==(const Ring&, const Ring&) = default;
};

struct Thresholder {
    ThresholderConfig config;
    std::uint64_t steps = 0;
    bool alarmed = false;  // whether any alarm was raised yet
    std::uint64_t since_alarm = 0;
    // Whether every score since the last single-score alarm stayed above the
    // cut-off: the event that raised it is still going on.
    bool in_event = false;
    // The last (at most horizon) scores of steps outside suppression, in
    // arrival order, and the same values in order of value.
    Ring kept;
    OrderedValues kept_sorted;
    // The last recent_capacity() scores.
    Ring recent;
    // The z of the recent mean at each of the last max(mean_window,
    // peak_window) steps (0 where it was not defined).
    Ring recent_z;
    // Exponentially weighted level and variance of the means of mean_window scores.
    double mean_level = 0.0;
    double mean_variance = 0.0;
    // Scores still to be passed over, neither judged nor learned: those a
    // detector gives before it holds enough data to mean anything (a
    // forest's before it is ready), which would otherwise sit among the kept
    // scores for a whole horizon.
    std::uint64_t steps_to_skip = 0;

    static Result<Thresholder> build(const ThresholderConfig& config);
    // Message of the first bad setting, empty when all are valid.
    static std::string check_config(const ThresholderConfig& config);

    // Judges `score` against the state so far, then learns it. Returns the
    // grade: 0 for an ordinary, suppressed or skipped step, in (0, 1] for an
    // alarm.
    Result<double> update(double score);

    // The first step has no baseline to be judged against, whatever warm_up says.
    bool is_ready() const { return steps > 0 && steps >= config.warm_up; }
    // The score above which the next single score alarms (besides the peak
    // rule); +inf while nothing is kept.
    double threshold() const;
    // Scores `recent` holds once full: max(mean_window, peak_window, burst_window).
    std::uint64_t recent_capacity() const;
    // Means of mean_window scores seen before the next step.
    std::uint64_t means_seen() const;
    // Rebuilds kept_sorted from kept (after loading a state).
    void sort_kept();
    // Steps since the last alarm, none before the first (as documents hold it).
    std::optional<std::uint64_t> steps_since_alarm() const {
        return alarmed ? std::optional<std::uint64_t>(since_alarm) : std::nullopt;
    }
    void set_steps_since_alarm(std::optional<std::uint64_t> steps_since) {
        alarmed = steps_since.has_value();
        since_alarm = steps_since.value_or(0);
    }

    friend bool operator==(const Thresholder&, const Thresholder&) = default;
};

}  // namespace arbolet::threshold
