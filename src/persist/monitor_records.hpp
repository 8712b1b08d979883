// The Monitor's persisted records. Both forms write the fields in the same
// order; the declared order is that of a document given as an array.
#pragma once

#include <array>
#include <tuple>

#include "monitor/monitor.hpp"
#include "persist/record_description.hpp"

namespace arbolet::persist {

// Tags of the Monitor's values with an encoding of their own.
namespace monitor_tags {
struct Direction {};  // a name in documents, a byte in the compact form
struct Queue {};      // the entries from the head on
struct Forests {};    // each part's own complete state, in the same form
struct Thresholders {};
struct Format {};     // a document's format number, 1; nothing in bytes
}  // namespace monitor_tags

}  // namespace arbolet::persist

namespace arbolet::persist::record {

namespace mt = monitor_tags;

// No list holds more items than a monitor keeps steps (or gaps): a
// document reader keeps one item more, so that the load checks report the
// list as too long.
template <>
struct Description<monitor::Monitor> {
    using M = monitor::Monitor;
    static constexpr std::string_view name = "Monitor";
    static constexpr auto fields = std::tuple{
        member<&M::config>("settings", Nested{}),
        member<&M::steps>("steps", U64{}),
        member<&M::since_alarm>("steps_since_alarm", OptionalCount{}),
        member<&M::last_timestamp>("last_timestamp", OptionalU64{}),
        member<&M::levels>("levels", ListOf<F64>{}, {"levels", monitor::kMaxSteps + 1}),
        member<&M::ranges>("ranges", ListOf<Nested>{}, {"ranges", monitor::kMaxSteps + 1}),
        member<&M::forests>("forests", Special<mt::Forests>{}),
        member<&M::thresholders>("thresholders", Special<mt::Thresholders>{}),
        computed<mt::Format>("format"),
        member<&M::history>("history", Nested{}),
        member<&M::season_ranges>("season_ranges", ListOf<Nested>{}, {"season ranges", monitor::kMaxSteps + 1}),
        member<&M::runs>("flat_runs", ListOf<Nested>{}, {"flat runs", monitor::kMaxSteps + 1}),
        member<&M::relations>("relations", Nested{}),
        member<&M::jitters>("jitters", ListOf<F64>{}, {"jitters", monitor::kMaxSteps + 1}),
        member<&M::score_ranges>("score_ranges", ListOf<Nested>{}, {"score ranges", monitor::kMaxSteps + 1}),
    };
    // The parts and the format number last; the fields added since in the
    // order of the state they follow.
    static constexpr std::array<std::size_t, 15> order{0, 1, 2, 3, 4, 13, 5, 9, 10, 11, 12, 14, 6, 7, 8};
};

template <>
struct Description<monitor::MonitorConfig> {
    using C = monitor::MonitorConfig;
    static constexpr std::string_view name = "MonitorConfig";
    static constexpr auto fields = std::tuple{
        member<&C::input_dim>("input_dim", U64{}),
        member<&C::shingle_size>("shingle_size", U64{}),
        member<&C::num_trees>("num_trees", U64{}),
        member<&C::capacity>("capacity", U64{}),
        member<&C::range_window>("range_window", U64{}),
        member<&C::range_margin>("range_margin", F64{}),
        member<&C::warm_up>("warm_up", U64{}),
        member<&C::suppression>("suppression", U64{}),
        member<&C::direction>("direction", Special<mt::Direction>{}),
        member<&C::quantile>("quantile", F64{}),
        member<&C::peak_window>("peak_window", U64{}),
        member<&C::min_grade>("min_grade", F64{}),
        member<&C::season>("season", U64{}),
        member<&C::season_margin>("season_margin", F64{}),
    };
};

template <>
struct Description<monitor::RangeWindow> {
    static constexpr std::string_view name = "RangeWindow";
    static constexpr auto fields = std::tuple{
        member<&monitor::RangeWindow::highs>("highs", Special<mt::Queue>{}),
        member<&monitor::RangeWindow::lows>("lows", Special<mt::Queue>{}),
    };
};

template <>
struct Description<monitor::Extreme> {
    static constexpr std::string_view name = "Extreme";
    static constexpr const char* tuple = "a pair of step and value";
    static constexpr auto fields = std::tuple{
        member<&monitor::Extreme::step>("step", U64{}),
        member<&monitor::Extreme::value>("value", F64{}),
    };
};

template <>
struct Description<monitor::SeasonHistory> {
    using H = monitor::SeasonHistory;
    static constexpr std::string_view name = "SeasonHistory";
    static constexpr auto fields = std::tuple{
        member<&H::season>("season", U64{}),
        member<&H::gaps>("gaps", ListOf<U64>{}, {"gaps", monitor::kSeasonGaps + 1}),
        member<&H::values>("values", ListOf<F32>{}, {"season values", monitor::kMaxSteps + 1}),
        member<&H::next>("next", U64{}),
    };
};

template <>
struct Description<monitor::FlatRun> {
    static constexpr std::string_view name = "FlatRun";
    static constexpr const char* tuple = "a run of value, length and longest";
    static constexpr auto fields = std::tuple{
        member<&monitor::FlatRun::value>("value", F32{}),
        member<&monitor::FlatRun::length>("length", U64{}),
        member<&monitor::FlatRun::longest>("longest", U64{}),
    };
};

template <>
struct Description<monitor::Relations> {
    using R = monitor::Relations;
    static constexpr std::string_view name = "Relations";
    static constexpr auto fields = std::tuple{
        member<&R::means>("means", ListOf<F64>{}, {"relation means", monitor::kMaxSteps + 1}),
        member<&R::covariance>("covariance", ListOf<F64>{}, {"covariance", monitor::kMaxSteps + 1}),
        member<&R::partners>("partners", ListOf<U64>{}, {"partners", monitor::kMaxSteps + 1}),
        member<&R::held>("held", ListOf<U64>{}, {"held", monitor::kMaxSteps + 1}),
        member<&R::residuals>("residuals", ListOf<Nested>{}, {"residual ranges", monitor::kMaxSteps + 1}),
    };
};

}  // namespace arbolet::persist::record
