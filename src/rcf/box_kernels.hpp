// Per-dimension loops over wide points: the box gap of the score walks, the
// box merge of the update path and the L1 distances of near neighbours and
// imputation. Each has a plain version and, on x86-64 processors with AVX2
// (checked at run time), a packed one that gives the same bits: minimum,
// maximum, comparison, subtraction and widening are exact lane by lane, and
// every sum is still taken one term at a time in dimension order.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/platform.hpp"
#include "rcf/bounding_box.hpp"

#if defined(ARBOLET_X86_DISPATCH)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace arbolet::rcf::kernels {

// Packed kernels pay for themselves from this many dimensions on.
inline constexpr std::size_t kWideFrom = 8;

// Whether the packed kernels run in this process: the processor has AVX2 and
// the environment variable ARBOLET_PORTABLE_KERNELS is unset, empty or "0"
// (set, it selects the plain loops everywhere, to compare the two). Read
// once.
bool wide_enabled();

#if defined(ARBOLET_VECTOR_EXTENSIONS)
using F4 = float __attribute__((vector_size(16)));
using U4 = std::uint32_t __attribute__((vector_size(16)));

// Bit j set for each lane j of a comparison mask that is set: one mask
// instruction where the target has it, rather than four extractions.
inline unsigned lane_bits(U4 lanes) {
#if defined(__SSE2__)
    return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(lanes)));
#else
    return static_cast<unsigned>((lanes[0] & 1) | (lanes[1] & 2) | (lanes[2] & 4) | (lanes[3] & 8));
#endif
}

// min_num and max_num lane by lane: b where a is NaN or b lies strictly
// beyond a, else a (a NaN b compares false).
inline F4 min_num4(F4 a, F4 b) {
    const U4 take = reinterpret_cast<U4>(a != a) | reinterpret_cast<U4>(b < a);
    return reinterpret_cast<F4>((reinterpret_cast<U4>(b) & take) | (reinterpret_cast<U4>(a) & ~take));
}
inline F4 max_num4(F4 a, F4 b) {
    const U4 take = reinterpret_cast<U4>(a != a) | reinterpret_cast<U4>(b > a);
    return reinterpret_cast<F4>((reinterpret_cast<U4>(b) & take) | (reinterpret_cast<U4>(a) & ~take));
}

// Adds four lanes to `sum` in single precision, lowest first.
inline float add_lanes_in_order(float sum, F4 lanes) {
    sum += lanes[0];
    sum += lanes[1];
    sum += lanes[2];
    sum += lanes[3];
    return sum;
}

// Four dimensions of a box gap from `d` on: how far x lies below `mn` or
// above `mx` in each, +0 inside, and the masks of the lanes below and above.
struct LaneGaps {
    F4 gap;
    U4 is_below;
    U4 is_above;
};
inline LaneGaps lane_gaps(const float* mn, const float* mx, const float* x, std::size_t d) {
    F4 lo, hi, p;
    std::memcpy(&lo, mn + d, sizeof lo);
    std::memcpy(&hi, mx + d, sizeof hi);
    std::memcpy(&p, x + d, sizeof p);
    const U4 is_below = reinterpret_cast<U4>(p < lo);
    const U4 is_above = reinterpret_cast<U4>(p > hi) & ~is_below;
    const F4 gap = reinterpret_cast<F4>((reinterpret_cast<U4>(lo - p) & is_below) |
                                        (reinterpret_cast<U4>(p - hi) & is_above));
    return {gap, is_below, is_above};
}
#endif

// Box gap of x at a box: the sum, in single precision and dimension order,
// of how far x lies below `mn` or above `mx` in each dimension. NaN
// coordinates compare false on both sides and add nothing.
//
// Without a branch on the data: every dimension is added, those where x lies
// inside the box as +0, which changes no sum (it never holds -0). Whether x
// lies inside is unpredictable, and a mispredicted branch in a tree walk
// throws away the loads of the nodes below that the processor had started.
// `gap` and `d` let a packed kernel hand over the last dimensions.
inline float box_gap_plain(const float* mn, const float* mx, const float* x, std::size_t dims, float gap = 0.0f,
                           std::size_t d = 0) {
#if defined(ARBOLET_VECTOR_EXTENSIONS)
    for (; d + 4 <= dims; d += 4) gap = add_lanes_in_order(gap, lane_gaps(mn, mx, x, d).gap);
#endif
    for (; d < dims; ++d) {
        const std::uint32_t below = std::bit_cast<std::uint32_t>(mn[d] - x[d]);
        const std::uint32_t above = std::bit_cast<std::uint32_t>(x[d] - mx[d]);
        const std::uint32_t is_below = 0u - static_cast<std::uint32_t>(x[d] < mn[d]);
        const std::uint32_t is_above = (0u - static_cast<std::uint32_t>(x[d] > mx[d])) & ~is_below;
        gap += std::bit_cast<float>((below & is_below) | (above & is_above));
    }
    return gap;
}

// Whether x lies below `mn` or above `mx` in any dimension: exactly when
// the box gap is not 0, but known without waiting for the ordered sum, so
// that a walk can decide on it early.
inline bool box_outside_plain(const float* mn, const float* mx, const float* x, std::size_t dims) {
    std::size_t d = 0;
#if defined(ARBOLET_VECTOR_EXTENSIONS)
    U4 lanes = {0, 0, 0, 0};
    for (; d + 4 <= dims; d += 4) {
        F4 lo, hi, p;
        std::memcpy(&lo, mn + d, sizeof lo);
        std::memcpy(&hi, mx + d, sizeof hi);
        std::memcpy(&p, x + d, sizeof p);
        lanes |= reinterpret_cast<U4>(p < lo) | reinterpret_cast<U4>(p > hi);
    }
    if (lane_bits(lanes) != 0) return true;
#endif
    bool outside = false;
    for (; d < dims; ++d) outside |= (x[d] < mn[d]) | (x[d] > mx[d]);
    return outside;
}

// The box gap of x, if x lies outside the box in some dimension: whether it
// does is known before the ordered sum, so that a walk can stop without
// waiting for it. Up to seven dimensions in one pass (the first four gaps
// are held until the test has decided), more in two.
inline bool box_gap_if_outside_plain(const float* mn, const float* mx, const float* x, std::size_t dims,
                                     float& gap) {
#if defined(ARBOLET_VECTOR_EXTENSIONS)
    if (dims >= 4 && dims < 8) {
        const LaneGaps first = lane_gaps(mn, mx, x, 0);
        if (lane_bits(first.is_below | first.is_above) == 0 && !box_outside_plain(mn + 4, mx + 4, x + 4, dims - 4))
            return false;
        gap = box_gap_plain(mn, mx, x, dims, add_lanes_in_order(0.0f, first.gap), 4);
        return true;
    }
#endif
    if (!box_outside_plain(mn, mx, x, dims)) return false;
    gap = box_gap_plain(mn, mx, x, dims);
    return true;
}

// Writes the merge of boxes a and b (minNum of the minima, maxNum of the
// maxima, a's value on ties) to `out_min` / `out_max`, which may be a's own
// rows, and returns the sum over dimensions, in order and in double
// precision, of out_max - out_min. `changed` is set when any output bit
// differs from what the rows held before (and left alone otherwise).
// `sum`, `changed` and `i` let a packed kernel hand over the last dimensions.
inline double merge_boxes_plain(const float* a_min, const float* a_max, const float* b_min, const float* b_max,
                                float* out_min, float* out_max, std::size_t dims, bool& changed, double sum = 0.0,
                                std::size_t i = 0) {
    std::uint32_t differs = 0;
#if defined(ARBOLET_VECTOR_EXTENSIONS)
    U4 lanes_differ = {0, 0, 0, 0};
    for (; i + 4 <= dims; i += 4) {
        F4 amin, amax, bmin, bmax, old_min, old_max;
        std::memcpy(&amin, a_min + i, sizeof amin);
        std::memcpy(&amax, a_max + i, sizeof amax);
        std::memcpy(&bmin, b_min + i, sizeof bmin);
        std::memcpy(&bmax, b_max + i, sizeof bmax);
        std::memcpy(&old_min, out_min + i, sizeof old_min);
        std::memcpy(&old_max, out_max + i, sizeof old_max);
        const F4 lo = min_num4(amin, bmin), hi = max_num4(amax, bmax);
        lanes_differ |= (reinterpret_cast<U4>(lo) ^ reinterpret_cast<U4>(old_min)) |
                        (reinterpret_cast<U4>(hi) ^ reinterpret_cast<U4>(old_max));
        std::memcpy(out_min + i, &lo, sizeof lo);
        std::memcpy(out_max + i, &hi, sizeof hi);
        const F4 width = hi - lo;
        sum += static_cast<double>(width[0]);
        sum += static_cast<double>(width[1]);
        sum += static_cast<double>(width[2]);
        sum += static_cast<double>(width[3]);
    }
    differs = lane_bits(reinterpret_cast<U4>(lanes_differ != 0u));
#endif
    for (; i < dims; ++i) {
        const float lo = min_num(a_min[i], b_min[i]);
        const float hi = max_num(a_max[i], b_max[i]);
        differs |= (std::bit_cast<std::uint32_t>(lo) ^ std::bit_cast<std::uint32_t>(out_min[i])) |
                   (std::bit_cast<std::uint32_t>(hi) ^ std::bit_cast<std::uint32_t>(out_max[i]));
        out_min[i] = lo;
        out_max[i] = hi;
        sum += static_cast<double>(hi - lo);
    }
    changed = changed || differs != 0;
    return sum;
}

// Grows box (min, max) in place to take in box (other_min, other_max), as
// merge_boxes does, without the sum.
inline void grow_box_plain(float* min, float* max, const float* other_min, const float* other_max, std::size_t dims,
                           std::size_t i = 0) {
#if defined(ARBOLET_VECTOR_EXTENSIONS)
    for (; i + 4 <= dims; i += 4) {
        F4 lo, hi, other_lo, other_hi;
        std::memcpy(&lo, min + i, sizeof lo);
        std::memcpy(&hi, max + i, sizeof hi);
        std::memcpy(&other_lo, other_min + i, sizeof other_lo);
        std::memcpy(&other_hi, other_max + i, sizeof other_hi);
        lo = min_num4(lo, other_lo);
        hi = max_num4(hi, other_hi);
        std::memcpy(min + i, &lo, sizeof lo);
        std::memcpy(max + i, &hi, sizeof hi);
    }
#endif
    for (; i < dims; ++i) {
        min[i] = min_num(min[i], other_min[i]);
        max[i] = max_num(max[i], other_max[i]);
    }
}

// Sum over dimensions of the single-precision |a - b|, widened, in double and
// in order; dimensions whose `skip` flag is set (when `skip` is given) are
// left out.
inline double l1_distance_plain(const float* a, const float* b, const std::uint8_t* skip, std::size_t dims,
                                double sum = 0.0, std::size_t i = 0) {
    if (skip == nullptr) {
        for (; i < dims; ++i) sum += static_cast<double>(std::fabs(a[i] - b[i]));
        return sum;
    }
    for (; i < dims; ++i)
        if (!skip[i]) sum += static_cast<double>(std::fabs(a[i] - b[i]));
    return sum;
}

#if defined(ARBOLET_X86_DISPATCH)
// lane_gaps eight dimensions at a time.
struct LaneGaps8 {
    __m256 gap;
    __m256 is_below;
    __m256 is_above;
};
ARBOLET_TARGET_AVX2 inline LaneGaps8 lane_gaps_avx2(const float* mn, const float* mx, const float* x,
                                                    std::size_t d) {
    const __m256 lo = _mm256_loadu_ps(mn + d);
    const __m256 hi = _mm256_loadu_ps(mx + d);
    const __m256 p = _mm256_loadu_ps(x + d);
    const __m256 is_below = _mm256_cmp_ps(p, lo, _CMP_LT_OQ);
    const __m256 is_above = _mm256_andnot_ps(is_below, _mm256_cmp_ps(p, hi, _CMP_GT_OQ));
    const __m256 gap = _mm256_or_ps(_mm256_and_ps(is_below, _mm256_sub_ps(lo, p)),
                                    _mm256_and_ps(is_above, _mm256_sub_ps(p, hi)));
    return {gap, is_below, is_above};
}

// Adds eight lanes to `sum` in single precision, lowest first.
ARBOLET_TARGET_AVX2 inline float add_lanes_in_order(float sum, __m256 lanes) {
    for (const __m128 half : {_mm256_castps256_ps128(lanes), _mm256_extractf128_ps(lanes, 1)}) {
        sum += _mm_cvtss_f32(half);
        sum += _mm_cvtss_f32(_mm_movehdup_ps(half));
        sum += _mm_cvtss_f32(_mm_movehl_ps(half, half));
        sum += _mm_cvtss_f32(_mm_shuffle_ps(half, half, 3));
    }
    return sum;
}

// box_gap_plain eight dimensions at a time, for code compiled for AVX2 to
// inline (it leaves the upper register halves dirty: the caller cleans them).
ARBOLET_TARGET_AVX2 inline float box_gap_avx2_inline(const float* mn, const float* mx, const float* x,
                                                         std::size_t dims) {
    float gap = 0.0f;
    std::size_t d = 0;
    for (; d + 8 <= dims; d += 8) gap = add_lanes_in_order(gap, lane_gaps_avx2(mn, mx, x, d).gap);
    return d < dims ? box_gap_plain(mn, mx, x, dims, gap, d) : gap;
}

// box_outside_plain eight dimensions at a time (upper halves left dirty).
ARBOLET_TARGET_AVX2 inline bool box_outside_avx2_inline(const float* mn, const float* mx, const float* x,
                                                        std::size_t dims) {
    __m256 outside = _mm256_setzero_ps();
    std::size_t d = 0;
    for (; d + 8 <= dims; d += 8) {
        const __m256 p = _mm256_loadu_ps(x + d);
        outside = _mm256_or_ps(outside, _mm256_or_ps(_mm256_cmp_ps(p, _mm256_loadu_ps(mn + d), _CMP_LT_OQ),
                                                     _mm256_cmp_ps(p, _mm256_loadu_ps(mx + d), _CMP_GT_OQ)));
    }
    return _mm256_movemask_ps(outside) != 0 || box_outside_plain(mn + d, mx + d, x + d, dims - d);
}

// box_gap_if_outside_plain eight dimensions at a time, for boxes of 8 to
// 23 dimensions in one pass (the gaps of the one or two blocks are held until
// the outside test has decided), wider boxes in two.
ARBOLET_TARGET_AVX2 inline bool box_gap_if_outside_avx2_inline(const float* mn, const float* mx, const float* x,
                                                               std::size_t dims, float& gap) {
    const std::size_t blocks = dims / 8;
    if (blocks == 0 || blocks > 2) {
        if (!box_outside_avx2_inline(mn, mx, x, dims)) return false;
        gap = box_gap_avx2_inline(mn, mx, x, dims);
        return true;
    }
    const LaneGaps8 first = lane_gaps_avx2(mn, mx, x, 0);
    __m256 outside = _mm256_or_ps(first.is_below, first.is_above);
    __m256 second_gap = _mm256_setzero_ps();
    if (blocks == 2) {
        const LaneGaps8 second = lane_gaps_avx2(mn, mx, x, 8);
        outside = _mm256_or_ps(outside, _mm256_or_ps(second.is_below, second.is_above));
        second_gap = second.gap;
    }
    const std::size_t d = 8 * blocks;
    if (_mm256_movemask_ps(outside) == 0 && !box_outside_plain(mn + d, mx + d, x + d, dims - d)) return false;
    float sum = add_lanes_in_order(0.0f, first.gap);
    if (blocks == 2) sum = add_lanes_in_order(sum, second_gap);
    gap = d < dims ? box_gap_plain(mn, mx, x, dims, sum, d) : sum;
    return true;
}

// minNum / maxNum lane by lane: b where b is smaller (larger) or a is NaN,
// else a (so a on ties and when only b is NaN), as min_num / max_num.
ARBOLET_TARGET_AVX2 inline __m256 min_num8(__m256 a, __m256 b) {
    return _mm256_blendv_ps(a, b, _mm256_or_ps(_mm256_cmp_ps(b, a, _CMP_LT_OQ), _mm256_cmp_ps(a, a, _CMP_UNORD_Q)));
}
ARBOLET_TARGET_AVX2 inline __m256 max_num8(__m256 a, __m256 b) {
    return _mm256_blendv_ps(a, b, _mm256_or_ps(_mm256_cmp_ps(b, a, _CMP_GT_OQ), _mm256_cmp_ps(a, a, _CMP_UNORD_Q)));
}

// Adds eight widened lanes to `sum` one at a time, lowest first.
ARBOLET_TARGET_AVX2 inline double add_in_order(double sum, __m256 lanes) {
    alignas(32) double wide[8];
    _mm256_store_pd(wide, _mm256_cvtps_pd(_mm256_castps256_ps128(lanes)));
    _mm256_store_pd(wide + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(lanes, 1)));
    for (int k = 0; k < 8; ++k) sum += wide[k];
    return sum;
}

// merge_boxes_plain eight dimensions at a time, for code compiled for AVX2
// to inline (upper halves left dirty, as box_gap_avx2_inline).
ARBOLET_TARGET_AVX2 inline double merge_boxes_avx2_inline(const float* a_min, const float* a_max, const float* b_min,
                                                          const float* b_max, float* out_min, float* out_max,
                                                          std::size_t dims, bool& changed) {
    double sum = 0.0;
    __m256 differs = _mm256_setzero_ps();
    std::size_t d = 0;
    for (; d + 8 <= dims; d += 8) {
        const __m256 lo = min_num8(_mm256_loadu_ps(a_min + d), _mm256_loadu_ps(b_min + d));
        const __m256 hi = max_num8(_mm256_loadu_ps(a_max + d), _mm256_loadu_ps(b_max + d));
        differs = _mm256_or_ps(differs, _mm256_or_ps(_mm256_xor_ps(lo, _mm256_loadu_ps(out_min + d)),
                                                     _mm256_xor_ps(hi, _mm256_loadu_ps(out_max + d))));
        _mm256_storeu_ps(out_min + d, lo);
        _mm256_storeu_ps(out_max + d, hi);
        sum = add_in_order(sum, _mm256_sub_ps(hi, lo));
    }
    const __m256i bits = _mm256_castps_si256(differs);
    changed = changed || !_mm256_testz_si256(bits, bits);
    return d < dims ? merge_boxes_plain(a_min, a_max, b_min, b_max, out_min, out_max, dims, changed, sum, d) : sum;
}

float box_gap_avx2(const float* mn, const float* mx, const float* x, std::size_t dims);
double merge_boxes_avx2(const float* a_min, const float* a_max, const float* b_min, const float* b_max,
                        float* out_min, float* out_max, std::size_t dims, bool& changed);
void grow_box_avx2(float* min, float* max, const float* other_min, const float* other_max, std::size_t dims);
double l1_distance_avx2(const float* a, const float* b, const std::uint8_t* skip, std::size_t dims);
#endif

// The kernels as a caller that checked `wide_enabled()` once uses them.
inline float box_gap(bool wide, const float* mn, const float* mx, const float* x, std::size_t dims) {
#if defined(ARBOLET_X86_DISPATCH)
    if (wide && dims >= kWideFrom) return box_gap_avx2(mn, mx, x, dims);
#endif
    (void)wide;
    return box_gap_plain(mn, mx, x, dims);
}

inline double merge_boxes(bool wide, const float* a_min, const float* a_max, const float* b_min, const float* b_max,
                          float* out_min, float* out_max, std::size_t dims, bool& changed) {
    changed = false;
#if defined(ARBOLET_X86_DISPATCH)
    if (wide && dims >= kWideFrom) return merge_boxes_avx2(a_min, a_max, b_min, b_max, out_min, out_max, dims, changed);
#endif
    (void)wide;
    return merge_boxes_plain(a_min, a_max, b_min, b_max, out_min, out_max, dims, changed);
}

inline void grow_box(bool wide, float* min, float* max, const float* other_min, const float* other_max,
                     std::size_t dims) {
#if defined(ARBOLET_X86_DISPATCH)
    if (wide && dims >= kWideFrom) return grow_box_avx2(min, max, other_min, other_max, dims);
#endif
    (void)wide;
    grow_box_plain(min, max, other_min, other_max, dims);
}

inline double l1_distance(bool wide, const float* a, const float* b, const std::uint8_t* skip, std::size_t dims) {
#if defined(ARBOLET_X86_DISPATCH)
    if (wide && dims >= kWideFrom) return l1_distance_avx2(a, b, skip, dims);
#endif
    (void)wide;
    return l1_distance_plain(a, b, skip, dims);
}

}  // namespace arbolet::rcf::kernels
