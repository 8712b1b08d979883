// A metric stream's alarms from one object: forests at two time scales, a
// thresholder calibrating each forest's scores to the stream, and a range
// test, combined into one grade per step with alarms for one event kept
// apart.
//
// Each step is judged before it is learned, on what came before it only:
// - the shingle-1 forest scores the value against the values of the recent
//   past, the shingled one the last `shingle_size` values as a shape;
// - each forest's thresholder turns its raw scores into a grade, against
//   the stream's own ordinary scores (so one cut-off means the same on
//   every stream);
// - the range test alarms on a value beyond every value of the last
//   `range_window` steps by more than `range_margin` of their range: level
//   shifts and outages that a forest, which forgets, would soon call normal;
// - the seasonal test does the same for the change since one season ago
//   (one day, from the timestamps, unless `season` says otherwise): a
//   value ordinary for the stream but not for the time of day;
// - the flat-line test alarms when a coordinate whose values seldom repeat
//   (never more than kLeastFlatRun / 4 times in a row so far) holds one
//   value for kLeastFlatRun steps: a stuck sensor, whose values are all
//   ordinary. Coordinates of counts or rounded values, whose values repeat
//   by nature, are left to the other tests.
// - the relationship test (several coordinates, direction both only)
//   predicts each coordinate from its best-correlated partner (a line
//   through the exponentially weighted means and covariance, when the
//   correlation is at least kLeastCorrelation) and alarms on a residual
//   beyond every residual of the last range_steps() steps by more than
//   `season_margin` of their range (residuals, like changes, are noise
//   whose extremes keep growing): two coordinates that each stay ordinary
//   but stop moving together.
// The step's grade is the largest of these; within `suppression` steps
// after an alarm no other step alarms.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/engine_error.hpp"
#include "monitor/range_window.hpp"
#include "rcf/forest/forest.hpp"
#include "threshold/thresholder.hpp"

namespace arbolet::monitor {

// Which deviations may alarm: any, only values above the recent level, or
// only values below it.
enum class Direction : std::uint8_t { Both = 0, Up = 1, Down = 2 };

struct MonitorConfig {
    std::uint64_t input_dim = 1;
    // The second forest's shingle (the first's is 1); 1 leaves it out.
    std::uint64_t shingle_size = 4;
    std::uint64_t num_trees = 50;
    std::uint64_t capacity = 256;
    // Steps whose values make the ordinary range.
    std::uint64_t range_window = 3000;
    // A value alarms this fraction of the range beyond it.
    double range_margin = 0.02;
    // Steps before the range test may alarm. No test alarms before a whole
    // season once its length is known (when it fits the range window).
    std::uint64_t warm_up = 300;
    // Steps after an alarm that do not alarm.
    std::uint64_t suppression = 50;
    Direction direction = Direction::Both;
    // The thresholders' cut-off: the quantile of the ordinary scores, and the
    // steps whose scores an alarm must exceed.
    double quantile = 0.999;
    std::uint64_t peak_window = 1000;
    // Steps in one season; 0: one day, from the gaps between the first
    // timestamps (no seasonal test without timestamps).
    std::uint64_t season = 0;
    // A change since one season ago alarms this fraction of the range of
    // such changes beyond it.
    double season_margin = 0.2;
    // Grades below this are not alarms (0: every grade above 0 is): fewer
    // false alarms for more missed events.
    double min_grade = 0.0;

    friend bool operator==(const MonitorConfig&, const MonitorConfig&) = default;
};

// Largest accepted range_window, warm_up, suppression and season (the
// memory a window may take is bounded by it).
inline constexpr std::uint64_t kMaxSteps = std::uint64_t{1} << 24;

// Gaps between the first timestamps whose median fixes the steps of a day.
inline constexpr std::size_t kSeasonGaps = 9;

// The last `season` observations, oldest first through at(), all
// coordinates of one observation together.
struct SeasonHistory {
    std::uint64_t season = 0;  // steps; 0 while not yet known
    std::vector<std::uint64_t> gaps;  // the first positive timestamp gaps, while season is unknown
    std::vector<float> values;  // at most season * dim
    std::uint64_t next = 0;  // slot (observation) written next once full

    friend bool operator==(const SeasonHistory&, const SeasonHistory&) = default;
};

// Steps one value must last before it may count as a flat line.
inline constexpr std::uint64_t kLeastFlatRun = 10;

// A coordinate's run of equal values: the value, the steps it has lasted,
// and the longest run that ended without alarming.
struct FlatRun {
    float value = 0.0f;
    std::uint64_t length = 0;
    std::uint64_t longest = 0;

    // The longest run that is still ordinary: none is too long for values
    // that repeat by nature.
    std::uint64_t limit() const { return longest * 4 < kLeastFlatRun ? kLeastFlatRun : UINT64_MAX; }

    friend bool operator==(const FlatRun&, const FlatRun&) = default;
};

// The relationship test: a partner is kept while the absolute correlation
// with it stays at least this (half the variance of a coordinate follows
// from the partner at 0.7; 0.5 is the usual floor of a strong relationship).
inline constexpr double kLeastCorrelation = 0.5;

// The relationships between coordinates (empty for one coordinate): the
// exponentially weighted means and covariance, and per coordinate its
// partner (itself: none), the steps its residuals have been kept since the
// partner was chosen, and the range of those residuals.
struct Relations {
    std::vector<double> means;
    std::vector<double> covariance;  // input_dim * input_dim, row by row, symmetric
    std::vector<std::uint64_t> partners;
    std::vector<std::uint64_t> held;
    std::vector<RangeWindow> residuals;

    friend bool operator==(const Relations&, const Relations&) = default;
};

// What one step was judged to be.
struct Verdict {
    double score = 0.0;  // the shingle-1 forest's raw score (0 before it is ready)
    double grade = 0.0;  // 0: ordinary; in (0, 1]: an alarm, by its strength
    bool alarm = false;
    // Per coordinate, the range within which the value did not alarm by
    // itself (-inf, +inf before the range test is ready).
    std::vector<double> lower;
    std::vector<double> upper;
};

struct Monitor {
    MonitorConfig config;
    // The shingle-1 forest, then the shingled one (when shingle_size > 1),
    // each with its thresholder.
    std::vector<rcf::Forest> forests;
    std::vector<threshold::Thresholder> thresholders;
    // One per forest, when a season is longer than peak_window: its raw
    // scores over the last season_peak_steps() steps. A forest alarms only
    // above all of them, as each day's recurring peak of the scores (at the
    // edge of the daily cycle) would otherwise alarm every day.
    std::vector<RangeWindow> score_ranges;
    // One per coordinate.
    std::vector<RangeWindow> ranges;
    // Exponentially weighted level of each coordinate: the side a value lies
    // on for one-sided alarms.
    std::vector<double> levels;
    // One per coordinate: the typical size of the change from one step to
    // the next (exponentially weighted, over about range_window steps). A
    // value alarms by the range test only beyond its range by more than
    // this too: a noisy value reaching a new high by no more than a usual
    // step, as after a small benign shift of its level, is no anomaly.
    std::vector<double> jitters;
    SeasonHistory history;
    // One per coordinate: the changes since one season ago.
    std::vector<RangeWindow> season_ranges;
    // One per coordinate.
    std::vector<FlatRun> runs;
    Relations relations;
    std::uint64_t steps = 0;
    // Steps since the last alarm, none before the first.
    std::optional<std::uint64_t> since_alarm;
    std::optional<std::uint64_t> last_timestamp;

    // Message of the first bad setting, empty when all are valid.
    static std::string check_config(const MonitorConfig& config);
    // Draws the seed from the operating system when none is given.
    static Result<Monitor> build(const MonitorConfig& config, std::optional<std::uint64_t> seed);
    // The forests' configurations for these settings.
    static std::vector<rcf::RcfConfig> forest_configs(const MonitorConfig& config);
    // The thresholder of the forest configured so.
    static threshold::ThresholderConfig thresholder_config(const MonitorConfig& config, const rcf::RcfConfig& forest);

    // Judges one observation (input_dim values, finite) at an optional
    // timestamp that must not go back, then learns it. Nothing changes when
    // it is refused.
    Result<Verdict> update(std::span<const float> point, std::optional<std::uint64_t> timestamp);
    // Whether every part has seen enough to alarm.
    bool is_ready() const;
    // Steps whose values (and changes since one season ago) make a
    // coordinate's ranges: range_window for one coordinate, input_dim times
    // as many for several, so that a stream of several coordinates, each of
    // which may leave its ranges by chance, alarms by chance as seldom as a
    // stream of one.
    std::uint64_t range_steps() const;
    // Values a window holds before its extremes judge: warm_up for one
    // coordinate, input_dim times as many for several, for the same reason
    // (a window of few values is left by chance often).
    std::uint64_t warm_steps() const;
    // The steps of score_ranges: a season and a quarter.
    std::uint64_t season_peak_steps() const;

    // Learns the season's length from the timestamps while it is unknown;
    // whether the history holds a whole season (the seasonal test runs).
    bool observe_season(std::optional<std::uint64_t> timestamp);
    // Keeps the observation as the newest of the season's history, but for
    // the coordinates marked, which keep the value of one season before.
    void remember(std::span<const float> point, const std::vector<bool>& keep_reference);
    // Judges each coordinate's residual from its partner (when `judge`),
    // keeps the residuals, then learns the observation's means and
    // covariance; the largest grade.
    double relate(std::span<const float> point, bool judge);

    friend bool operator==(const Monitor&, const Monitor&) = default;
};

}  // namespace arbolet::monitor
