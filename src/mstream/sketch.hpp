// Count sketches of whole records and of single features, with their hashing
// and decay.
#pragma once

#include <cstdint>
#include <span>

#include "common/matrix.hpp"
#include "random/xoshiro.hpp"

namespace arbolet::mstream {

struct MStreamConfig;

struct RecordSketch {
    std::uint64_t num_rows = 0;
    std::uint64_t num_buckets = 0;
    std::uint64_t numeric_dim = 0;
    std::uint64_t categorical_dim = 0;
    Matrix<double> numeric_planes;            // [num_rows, planes, numeric_dim]
    Matrix<std::int64_t> categorical_coeffs;  // [num_rows, categorical_dim]
    Matrix<double> count;                     // [num_rows, num_buckets]

    friend bool operator==(const RecordSketch&, const RecordSketch&) = default;
};

struct NumericSketch {
    std::uint64_t num_buckets = 0;
    Matrix<double> count;  // [num_buckets]

    friend bool operator==(const NumericSketch&, const NumericSketch&) = default;
};

struct CategoricalSketch {
    std::uint64_t num_rows = 0;
    std::uint64_t num_buckets = 0;
    Matrix<std::int64_t> hash_a;  // [num_rows]
    Matrix<std::int64_t> hash_b;  // [num_rows]
    Matrix<double> count;         // [num_rows, num_buckets]

    friend bool operator==(const CategoricalSketch&, const CategoricalSketch&) = default;
};

// `current` decays with time, `total` never does; both hash alike.
template <class Sketch>
struct SketchCounts {
    Sketch current;
    Sketch total;

    friend bool operator==(const SketchCounts&, const SketchCounts&) = default;
};

}  // namespace arbolet::mstream
