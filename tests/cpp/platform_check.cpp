// The portable fallbacks of common/platform.hpp (what MSVC builds use)
// against the compiler builtins, and the packed box gap against the
// one-dimension-at-a-time loop. Prints "ok" and exits 0 on success.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "common/platform.hpp"
#include "rcf/tree/traversal.hpp"

using namespace arbolet;
static int failures = 0;
#define CHECK(c)                                                       \
    do {                                                               \
        if (!(c)) {                                                    \
            std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #c); \
            ++failures;                                                \
        }                                                              \
    } while (0)

static bool same_wide(Uint128 a, portable::Uint128 b) {
    return static_cast<std::uint64_t>(a) == b.lo && static_cast<std::uint64_t>(a >> 64) == b.hi;
}

static float scalar_gap(const float* mn, const float* mx, const float* x, std::uint64_t dims) {
    float gap = 0.0f;
    for (std::uint64_t d = 0; d < dims; ++d) {
        if (x[d] < mn[d]) gap += mn[d] - x[d];
        else if (x[d] > mx[d]) gap += x[d] - mx[d];
        else gap += 0.0f;
    }
    return gap;
}

// The merge one dimension at a time, as the packed blocks must give it.
static double scalar_merge(const float* a_min, const float* a_max, const float* b_min, const float* b_max, float* lo,
                           float* hi, std::uint64_t dims) {
    double sum = 0.0;
    for (std::uint64_t d = 0; d < dims; ++d) {
        lo[d] = rcf::min_num(a_min[d], b_min[d]);
        hi[d] = rcf::max_num(a_max[d], b_max[d]);
        sum += static_cast<double>(hi[d] - lo[d]);
    }
    return sum;
}

int main() {
    std::mt19937_64 gen(17);
    const std::uint64_t edges[] = {0, 1, 2, 10, 0xffffffffULL, 0x100000000ULL, UINT64_MAX / 10, UINT64_MAX - 1, UINT64_MAX};
    auto word = [&](int i) { return i < 9 ? edges[i] : gen() >> (gen() % 64); };
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t a = word(i % 9 == 0 ? i / 9 % 9 : 9), b = word(i % 7 == 0 ? i / 7 % 9 : 9);
        std::uint64_t built = 0, plain = 0;
        CHECK(add_overflows(a, b, built) == portable::add_overflows(a, b, plain) && built == plain);
        CHECK(mul_overflows(a, b, built) == portable::mul_overflows(a, b, plain) && built == plain);
        const Uint128 wide = wide_product(a, b);
        const portable::Uint128 pwide = portable::Uint128::product(a, b);
        CHECK(same_wide(wide, pwide));
        const int s = static_cast<int>(gen() % 128);
        CHECK(same_wide(wide >> s, pwide >> s));
        CHECK(same_wide(wide << s, pwide << s));
        const Uint128 other = wide_product(b, a + 1);
        const portable::Uint128 pother = portable::Uint128::product(b, a + 1);
        CHECK((wide > other) == (pwide > pother) && (wide == other) == (pwide == pother));
    }

    // Inside, below and above on each side, infinities and NaN among the coordinates.
    const float specials[] = {0.0f, -0.0f, 1.5f, -3.25f, std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                              1e-40f, 3e38f};
    std::uniform_real_distribution<float> coord(-4.0f, 4.0f);
    for (int i = 0; i < 5000; ++i) {
        const std::uint64_t dims = 1 + gen() % 11;
        float mn[11], mx[11], x[11];
        for (std::uint64_t d = 0; d < dims; ++d) {
            float lo = coord(gen), hi = coord(gen);
            if (lo > hi) std::swap(lo, hi);
            mn[d] = lo;
            mx[d] = hi;
            x[d] = gen() % 5 == 0 ? specials[gen() % 9] : coord(gen);
        }
        const float packed = rcf::kernels::box_gap_plain(mn, mx, x, dims), plain = scalar_gap(mn, mx, x, dims);
        CHECK(std::memcmp(&packed, &plain, sizeof packed) == 0 || (std::isnan(packed) && std::isnan(plain)));
    }

    // Packed kernels (when this processor runs them) against the plain loops,
    // bit for bit, over widths that leave every tail length.
    // Sums meet NaN only in these made-up boxes (stored points are finite);
    // which NaN comes out of adding two is the compiler's choice of operand
    // order, so any NaN matches any other there.
    auto same = [](auto a, auto b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); };
    for (int i = 0; i < 3000; ++i) {
        const std::size_t dims = 1 + gen() % 70;
        float a_min[70], a_max[70], b_min[70], b_max[70], x[70];
        std::uint8_t skip[72] = {};
        for (std::size_t d = 0; d < dims; ++d) {
            auto pick = [&] { return gen() % 4 == 0 ? specials[gen() % 9] : coord(gen); };
            a_min[d] = pick(), a_max[d] = pick(), b_min[d] = pick(), b_max[d] = pick(), x[d] = pick();
            skip[d] = gen() % 3 == 0;
        }
        const bool wide = rcf::kernels::wide_enabled();
        CHECK(same(rcf::kernels::box_gap(wide, a_min, a_max, x, dims), rcf::kernels::box_gap_plain(a_min, a_max, x, dims)));
        // The gaps add the inside dimensions as +0: the same as adding only the others.
        CHECK(same(rcf::kernels::box_gap_plain(a_min, a_max, x, dims), scalar_gap(a_min, a_max, x, dims)));
#if defined(ARBOLET_X86_DISPATCH)
        if (wide)
            CHECK(same(rcf::kernels::box_gap_avx2_inline(a_min, a_max, x, dims),
                       rcf::kernels::box_gap_plain(a_min, a_max, x, dims)));
#endif
        // The one-pass gap: told outside exactly when some dimension is, with the ordered gap then.
        bool outside = false;
        for (std::size_t d = 0; d < dims; ++d) outside |= x[d] < a_min[d] || x[d] > a_max[d];
        float held_gap = -1.0f;
        CHECK(rcf::kernels::box_gap_if_outside_plain(a_min, a_max, x, dims, held_gap) == outside &&
              (!outside || same(held_gap, scalar_gap(a_min, a_max, x, dims))));
#if defined(ARBOLET_X86_DISPATCH)
        if (wide)
            CHECK(rcf::kernels::box_gap_if_outside_avx2_inline(a_min, a_max, x, dims, held_gap) == outside &&
                  (!outside || same(held_gap, scalar_gap(a_min, a_max, x, dims))));
#endif
        CHECK(same(rcf::kernels::l1_distance(wide, x, a_min, skip, dims),
                   rcf::kernels::l1_distance_plain(x, a_min, skip, dims)));
        // Twice into the same rows: the second merge changes nothing.
        for (int round = 0; round < 2; ++round) {
            float packed[2][70], plain[2][70];
            std::memcpy(packed[0], round == 0 ? b_min : a_min, sizeof b_min);
            std::memcpy(packed[1], round == 0 ? b_max : a_max, sizeof b_max);
            std::memcpy(plain, packed, sizeof plain);
            bool packed_changed = false, plain_changed = false;
            const double packed_sum =
                rcf::kernels::merge_boxes(wide, a_min, a_max, b_min, b_max, packed[0], packed[1], dims, packed_changed);
            const double plain_sum =
                rcf::kernels::merge_boxes_plain(a_min, a_max, b_min, b_max, plain[0], plain[1], dims, plain_changed);
            CHECK(same(packed_sum, plain_sum) && packed_changed == plain_changed);
            CHECK(std::memcmp(packed, plain, sizeof packed) == 0);
            float lo[70], hi[70];
            CHECK(same(scalar_merge(a_min, a_max, b_min, b_max, lo, hi, dims), plain_sum));
            CHECK(std::memcmp(lo, plain[0], dims * sizeof(float)) == 0 && std::memcmp(hi, plain[1], dims * sizeof(float)) == 0);
            if (round == 0) {
                std::memcpy(a_min, packed[0], sizeof a_min);
                std::memcpy(a_max, packed[1], sizeof a_max);
                std::memcpy(b_min, packed[0], sizeof b_min);
                std::memcpy(b_max, packed[1], sizeof b_max);
            } else {
                CHECK(!packed_changed);
            }
        }
        float grown_min[70], grown_max[70];
        scalar_merge(b_min, b_max, x, x, grown_min, grown_max, dims);
        rcf::kernels::grow_box(wide, a_min, a_max, x, x, dims);
        rcf::kernels::grow_box_plain(b_min, b_max, x, x, dims);
        CHECK(std::memcmp(a_min, b_min, dims * sizeof(float)) == 0 && std::memcmp(a_max, b_max, dims * sizeof(float)) == 0);
        CHECK(std::memcmp(grown_min, b_min, dims * sizeof(float)) == 0 &&
              std::memcmp(grown_max, b_max, dims * sizeof(float)) == 0);
    }

    if (failures) return 1;
    std::puts("ok");
    return 0;
}
