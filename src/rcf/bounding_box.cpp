#include "rcf/bounding_box.hpp"

#include <bit>
#include <limits>

namespace arbolet::rcf {

float next_down(float x) {
    if (x != x || x == -std::numeric_limits<float>::infinity()) return x;  // NaN, -inf
    if (x == 0.0f) return -0x1.0p-149f;
    std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    // Away from zero for negatives, towards zero for positives (+inf included).
    bits = x > 0.0f ? bits - 1 : bits + 1;
    return std::bit_cast<float>(bits);
}

double range_sum_of(std::span<const float> min, std::span<const float> max) {
    double sum = 0.0;
    const std::size_t n = min.size() < max.size() ? min.size() : max.size();
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(max[i] - min[i]);
    return sum;
}

}  // namespace arbolet::rcf
