// Axis-aligned boxes of single-precision points.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace arbolet::rcf {

struct BoundingBox {
    std::vector<float> min;
    std::vector<float> max;
    double range_sum = 0.0;

    friend bool operator==(const BoundingBox&, const BoundingBox&) = default;
};

// IEEE 754 minNum/maxNum: a single NaN operand yields the other one; equal
// operands (-0.0 vs +0.0) yield the first.
inline float min_num(float a, float b) {
    if (a != a) return b;
    if (b != b) return a;
    return b < a ? b : a;
}
inline float max_num(float a, float b) {
    if (a != a) return b;
    if (b != b) return a;
    return b > a ? b : a;
}

// Largest float below x; -denorm_min for +-0, FLT_MAX for +inf, x itself for
// -inf and NaN.
float next_down(float x);

// Sum over dimensions, in index order in double precision, of the
// single-precision difference max - min.
double range_sum_of(std::span<const float> min, std::span<const float> max);

}  // namespace arbolet::rcf
