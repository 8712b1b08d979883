// The MStream's persisted records.
#pragma once

#include <tuple>

#include "mstream/detector.hpp"
#include "persist/record_description.hpp"

namespace arbolet::persist::record {

template <>
struct Description<mstream::MStream> {
    static constexpr std::string_view name = "MStream";
    static constexpr auto fields = std::tuple{
        member<&mstream::MStream::config>("config", Nested{}),
        member<&mstream::MStream::clock>("clock", Nested{}),
        member<&mstream::MStream::entries_seen>("entries_seen", U64{}),
        member<&mstream::MStream::record_counts>("record_counts", Nested{}),
        member<&mstream::MStream::numeric_counts>("numeric_counts", ListOf<Nested>{}),
        member<&mstream::MStream::categorical_counts>("categorical_counts", ListOf<Nested>{}),
        member<&mstream::MStream::numeric_normalizer>("numeric_normalizer", Nested{}),
    };
};

template <>
struct Description<mstream::MStreamConfig> {
    static constexpr std::string_view name = "MStreamConfig";
    static constexpr auto fields = std::tuple{
        member<&mstream::MStreamConfig::numeric_dim>("numeric_dim", Usize{}),
        member<&mstream::MStreamConfig::categorical_dim>("categorical_dim", Usize{}),
        member<&mstream::MStreamConfig::num_rows>("num_rows", Usize{}),
        member<&mstream::MStreamConfig::num_buckets>("num_buckets", Usize{}),
        member<&mstream::MStreamConfig::alpha>("alpha", F64{}),
    };
};

template <>
struct Description<mstream::StreamClock> {
    static constexpr std::string_view name = "StreamClock";
    static constexpr auto fields = std::tuple{
        member<&mstream::StreamClock::current_time>("current_time", OptionalU64{}),
        member<&mstream::StreamClock::current_tick>("current_tick", U64{}),
    };
    static constexpr std::uint32_t optional = 1u << 0;  // current_time
};

template <class Sketch>
struct Description<mstream::SketchCounts<Sketch>> {
    static constexpr std::string_view name = "SketchCounts";
    static constexpr auto fields = std::tuple{
        member<&mstream::SketchCounts<Sketch>::current>("current", Nested{}),
        member<&mstream::SketchCounts<Sketch>::total>("total", Nested{}),
    };
};

template <>
struct Description<mstream::RecordSketch> {
    static constexpr std::string_view name = "RecordSketch";
    static constexpr auto fields = std::tuple{
        member<&mstream::RecordSketch::num_rows>("num_rows", Usize{}),
        member<&mstream::RecordSketch::num_buckets>("num_buckets", Usize{}),
        member<&mstream::RecordSketch::numeric_dim>("numeric_dim", Usize{}),
        member<&mstream::RecordSketch::categorical_dim>("categorical_dim", Usize{}),
        member<&mstream::RecordSketch::numeric_planes>("numeric_planes", Array<F64, 3>{}),
        member<&mstream::RecordSketch::categorical_coeffs>("categorical_coeffs", Array<I64, 2>{}),
        member<&mstream::RecordSketch::count>("count", Array<F64, 2>{}),
    };
};

template <>
struct Description<mstream::NumericSketch> {
    static constexpr std::string_view name = "NumericSketch";
    static constexpr auto fields = std::tuple{
        member<&mstream::NumericSketch::num_buckets>("num_buckets", Usize{}),
        member<&mstream::NumericSketch::count>("count", Array<F64, 1>{}),
    };
};

template <>
struct Description<mstream::CategoricalSketch> {
    static constexpr std::string_view name = "CategoricalSketch";
    static constexpr auto fields = std::tuple{
        member<&mstream::CategoricalSketch::num_rows>("num_rows", Usize{}),
        member<&mstream::CategoricalSketch::num_buckets>("num_buckets", Usize{}),
        member<&mstream::CategoricalSketch::hash_a>("hash_a", Array<I64, 1>{}),
        member<&mstream::CategoricalSketch::hash_b>("hash_b", Array<I64, 1>{}),
        member<&mstream::CategoricalSketch::count>("count", Array<F64, 2>{}),
    };
};

template <>
struct Description<mstream::NumericRangeNormalizer> {
    static constexpr std::string_view name = "NumericRangeNormalizer";
    static constexpr auto fields = std::tuple{
        // +inf and -inf (written as null) before the first record
        member<&mstream::NumericRangeNormalizer::min_numeric>("min_numeric", BoundList<+1>{}),
        member<&mstream::NumericRangeNormalizer::max_numeric>("max_numeric", BoundList<-1>{}),
    };
};

}  // namespace arbolet::persist::record
