// The Thresholder's persisted records.
#pragma once

#include <cstdint>
#include <optional>
#include <tuple>

#include "persist/record_description.hpp"
#include "threshold/thresholder.hpp"

namespace arbolet::persist::record {

// A ring's values, oldest first whatever slot it writes next (a Special:
// the codecs handle it).
template <threshold::Ring threshold::Thresholder::*Member>
struct RingValues {
    static constexpr threshold::Ring threshold::Thresholder::*member = Member;
};

template <>
struct Description<threshold::ThresholderConfig> {
    using C = threshold::ThresholderConfig;
    static constexpr std::string_view name = "ThresholderConfig";
    static constexpr auto fields = std::tuple{
        member<&C::horizon>("horizon", U64{}),
        member<&C::warm_up>("warm_up", U64{}),
        member<&C::quantile>("quantile", F64{}),
        member<&C::sigmas>("sigmas", F64{}),
        member<&C::mean_window>("mean_window", U64{}),
        member<&C::min_spread>("min_spread", F64{}),
        member<&C::min_score>("min_score", F64{}),
        member<&C::suppression>("suppression", U64{}),
        member<&C::peak_window>("peak_window", U64{}),
        member<&C::margin>("margin", F64{}),
        member<&C::log_scores>("log_scores", Bool{}),
        member<&C::burst_window>("burst_window", U64{}),
        member<&C::burst_level>("burst_level", F64{}),
    };
    // Documents written before margin existed load with the former fixed
    // 0.1, those before log_scores judging the scores as they are, those
    // before the burst test without it.
    static constexpr std::uint32_t optional = 1u << 9 | 1u << 10 | 1u << 11 | 1u << 12;
    // The burst settings are written only when the test is on, so that the
    // documents of thresholders without it stay as they were.
    static constexpr std::uint32_t written_unless_default = 1u << 11 | 1u << 12;
};

template <>
struct Description<threshold::Thresholder> {
    using T = threshold::Thresholder;
    static constexpr std::string_view name = "Thresholder";
    static constexpr auto fields = std::tuple{
        member<&T::config>("config", Nested{}),
        member<&T::steps>("steps", U64{}),
        // null before the first alarm
        accessed<&T::steps_since_alarm, &T::set_steps_since_alarm>("since_alarm", OptionalU64{}),
        member<&T::in_event>("in_event", Bool{}),
        computed<RingValues<&T::kept>>("kept"),
        computed<RingValues<&T::recent>>("recent"),
        computed<RingValues<&T::recent_z>>("recent_z"),
        member<&T::mean_level>("mean_level", F64{}),
        member<&T::mean_variance>("mean_variance", F64{}),
        member<&T::steps_to_skip>("steps_to_skip", U64{}),
    };
    // Documents written before steps_to_skip existed load with none to skip.
    static constexpr std::uint32_t optional = 1u << 9;
};

// The compact form's order: the first settings, the state, then the
// settings added later (steps_to_skip and what follows may be missing at the
// end of states stored before they existed; the burst settings are stored
// only while the test is on).
struct ThresholderBytes {};

template <>
struct Description<ThresholderBytes> {
    using T = threshold::Thresholder;
    using Config = Description<threshold::ThresholderConfig>;
    static constexpr std::string_view name = "Thresholder";
    static constexpr auto fields =
        std::tuple_cat(fields_between<0, 9, &T::config>(Config::fields),
                       fields_between<1, 10>(Description<T>::fields),
                       fields_between<9, 13, &T::config>(Config::fields));
    static constexpr std::size_t trailing_from = 17;
    static constexpr std::uint32_t written_unless_default = 1u << 20 | 1u << 21;
};

}  // namespace arbolet::persist::record
