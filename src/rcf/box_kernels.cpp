#include "rcf/box_kernels.hpp"

#include <cstdlib>

namespace arbolet::rcf::kernels {

bool wide_enabled() {
    static const bool enabled = [] {
        const char* forced = std::getenv("ARBOLET_PORTABLE_KERNELS");
        if (forced != nullptr && forced[0] != '\0' && !(forced[0] == '0' && forced[1] == '\0')) return false;
#if defined(ARBOLET_X86_DISPATCH)
        return cpu_has_avx2();
#else
        return false;
#endif
    }();
    return enabled;
}

#if defined(ARBOLET_X86_DISPATCH)

// Every kernel ends with vzeroupper: upper register halves left dirty make
// each later legacy-SSE instruction of the process (libm's included) pay a
// transition.

ARBOLET_TARGET_AVX2 float box_gap_avx2(const float* mn, const float* mx, const float* x, std::size_t dims) {
    const float gap = box_gap_avx2_inline(mn, mx, x, dims);
    _mm256_zeroupper();
    return gap;
}

ARBOLET_TARGET_AVX2 double merge_boxes_avx2(const float* a_min, const float* a_max, const float* b_min,
                                            const float* b_max, float* out_min, float* out_max, std::size_t dims,
                                            bool& changed) {
    const double sum = merge_boxes_avx2_inline(a_min, a_max, b_min, b_max, out_min, out_max, dims, changed);
    _mm256_zeroupper();
    return sum;
}

ARBOLET_TARGET_AVX2 void grow_box_avx2(float* min, float* max, const float* other_min, const float* other_max,
                                       std::size_t dims) {
    std::size_t d = 0;
    for (; d + 8 <= dims; d += 8) {
        _mm256_storeu_ps(min + d, min_num8(_mm256_loadu_ps(min + d), _mm256_loadu_ps(other_min + d)));
        _mm256_storeu_ps(max + d, max_num8(_mm256_loadu_ps(max + d), _mm256_loadu_ps(other_max + d)));
    }
    _mm256_zeroupper();
    grow_box_plain(min, max, other_min, other_max, dims, d);
}

// Skipped dimensions contribute +0, which leaves the sum as it is (it starts
// at +0 and its terms are never negative).
ARBOLET_TARGET_AVX2 double l1_distance_avx2(const float* a, const float* b, const std::uint8_t* skip,
                                            std::size_t dims) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    double sum = 0.0;
    std::size_t d = 0;
    for (; d + 8 <= dims; d += 8) {
        __m256 term = _mm256_and_ps(magnitude, _mm256_sub_ps(_mm256_loadu_ps(a + d), _mm256_loadu_ps(b + d)));
        if (skip != nullptr) {
            std::int64_t flags;
            std::memcpy(&flags, skip + d, sizeof flags);
            const __m256i wide = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(flags));
            term = _mm256_andnot_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(wide, _mm256_setzero_si256())), term);
        }
        sum = add_in_order(sum, term);
    }
    _mm256_zeroupper();
    return l1_distance_plain(a, b, skip, dims, sum, d);
}

#endif

}  // namespace arbolet::rcf::kernels
