#include "mstream/sketch.hpp"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <limits>

#include "common/platform.hpp"

#if defined(ARBOLET_X86_DISPATCH)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "mstream/detector.hpp"

namespace arbolet::mstream {

namespace {

constexpr int kMantissaBits = 52;
constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << kMantissaBits) - 1;
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// c * f rounded to nearest-even, computed on the integers when the product
// lands among the subnormals (or an operand is one). The hardware gets the
// same bits, but through a microcode assist that costs a hundred cycles or
// more per element, and decayed counts spend many steps there on their way
// to zero.
double multiply_small(double c, double f) {
    if (c == 0.0 || f == 0.0 || !std::isfinite(c) || !std::isfinite(f)) return c * f;
    const std::uint64_t bc = std::bit_cast<std::uint64_t>(c);
    const std::uint64_t bf = std::bit_cast<std::uint64_t>(f);
    // |x| = mantissa * 2^(max(biased exponent, 1) - 1075), subnormals included.
    const int ebc = static_cast<int>((bc & ~kSignBit) >> kMantissaBits);
    const int ebf = static_cast<int>((bf & ~kSignBit) >> kMantissaBits);
    const std::uint64_t mc = (bc & kFractionMask) | (ebc != 0 ? std::uint64_t{1} << kMantissaBits : 0);
    const std::uint64_t mf = (bf & kFractionMask) | (ebf != 0 ? std::uint64_t{1} << kMantissaBits : 0);
    // Bits of the exact product below the subnormal grid step 2^-1074.
    const int shift = 1076 - (ebc != 0 ? ebc : 1) - (ebf != 0 ? ebf : 1);
    const std::uint64_t sign = (bc ^ bf) & kSignBit;
    if (shift >= 128) return std::bit_cast<double>(sign);  // below half the smallest subnormal
    const Uint128 product = wide_product(mc, mf);
    if (shift <= 0) return c * f;
    const Uint128 kept_wide = product >> shift;
    if ((kept_wide >> kMantissaBits) != Uint128(0)) return c * f;  // a normal result: the hardware rounds it without help
    const std::uint64_t kept = static_cast<std::uint64_t>(kept_wide);
    // The dropped bits, moved to the top: the first is the half, the rest
    // decide ties.
    const Uint128 dropped = product << (128 - shift);
    const Uint128 half = Uint128(1) << 127;
    const std::uint64_t n = kept + ((dropped > half || (dropped == half && (kept & 1))) ? 1 : 0);
    // n * 2^-1074 has the bit pattern n, also when rounding carries into the
    // smallest normal.
    return std::bit_cast<double>(sign | n);
}

// The common case of multiply_small, in doubles: a positive count below the
// safe bound times a positive normal factor. Anything it cannot settle goes to
// multiply_small. Only the packed x86-64 path needs it.
[[maybe_unused]] double multiply_awkward(double c, double f) {
    if (!(c > 0.0) || !(f > 0.0)) return multiply_small(c, f);
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(c);
    constexpr std::uint64_t kTwo52Bits = 0x4330000000000000ULL;  // 2^52
    // c in units of the subnormal step 2^-1074, exactly.
    double units;
    if ((bits >> kMantissaBits) == 0)
        units = std::bit_cast<double>(bits | kTwo52Bits) - 0x1.0p52;
    else
        units = c * 0x1.0p600 * 0x1.0p474;
    const double y = units * f;  // normal, so no assist; rounded once
    if (!(y < 0x1.0p52)) return multiply_small(c, f);
    // Adding 2^52 rounds y to an integer, ties to even, and leaves that
    // integer in the low bits.
    const double t = y + 0x1.0p52;
    const double off = (t - 0x1.0p52) - y;
    // Unless y sits exactly on a half, rounding it gives what rounding the
    // exact product would.
    if (off == 0.5 || off == -0.5) return multiply_small(c, f);
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(t) - kTwo52Bits);
}

double decay_one(double c, double factor, double safe, bool factor_normal) {
    const double a = std::fabs(c);
    return factor_normal && (a >= safe || a == 0.0) ? c * factor : multiply_small(c, factor);
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

constexpr std::size_t kBlock = DecayIndex::kBlock;

// Decays the n counts at p one by one; whether any changed.
bool decay_block(double* p, std::size_t n, double factor, double safe, bool factor_normal) {
    bool changed = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = decay_one(p[i], factor, safe, factor_normal);
        changed |= !same_bits(d, p[i]);
        p[i] = d;
    }
    return changed;
}

void settle(std::uint64_t* pending, std::size_t block) {
    pending[block / 64] &= ~(std::uint64_t{1} << (block % 64));
}

// The largest n such that every m in 1..n satisfies round(m * factor) = m
// for the subnormal m * 2^-1074: counts that decay into these steps never
// leave them (with alpha > 0.5 a decayed count never reaches zero). The set
// is 1..n because m * (1 - factor) grows with m; the search is capped, and
// counts above the cap simply take the exact path.
std::uint64_t stuck_units(double factor) {
    if (!(factor > 0.0 && factor < 1.0)) return 0;
    constexpr std::uint64_t kCap = 1 << 16;
    std::uint64_t n = 0;
    while (n < kCap) {
        const double c = std::bit_cast<double>(n + 1);
        if (!same_bits(multiply_small(c, factor), c)) break;
        ++n;
    }
    return n;
}

#if defined(ARBOLET_X86_DISPATCH)

// multiply_awkward on four lanes at once, for the lanes in `awkward` (the
// others give garbage). Lanes it cannot settle (a negative count, a normal
// product, a tie after the first rounding) are set in `unsettled`.
ARBOLET_TARGET_AVX2 inline __m256d multiply_awkward_avx2(__m256d c, __m256d awkward, __m256d f,
                                                         __m256d& unsettled) {
    const __m256d two52 = _mm256_set1_pd(0x1.0p52);
    const __m256i two52_bits = _mm256_castpd_si256(two52);
    const __m256d x = _mm256_and_pd(awkward, c);  // other lanes become 0 and stay harmless
    const __m256i bits = _mm256_castpd_si256(x);
    // c in units of the subnormal step 2^-1074, exactly: from the bits for a
    // subnormal (never multiplied, so no assist), by scaling for a normal.
    const __m256d subnormal =
        _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_set1_epi64x(std::int64_t{1} << kMantissaBits), bits));
    const __m256d from_bits = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(bits, two52_bits)), two52);
    const __m256d scaled = _mm256_mul_pd(_mm256_mul_pd(_mm256_andnot_pd(subnormal, x), _mm256_set1_pd(0x1.0p600)),
                                         _mm256_set1_pd(0x1.0p474));
    const __m256d units = _mm256_blendv_pd(scaled, from_bits, subnormal);
    const __m256d y = _mm256_mul_pd(units, f);
    const __m256d t = _mm256_add_pd(y, two52);
    const __m256d off = _mm256_sub_pd(_mm256_sub_pd(t, two52), y);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d tie = _mm256_or_pd(_mm256_cmp_pd(off, half, _CMP_EQ_OQ),
                                     _mm256_cmp_pd(off, _mm256_set1_pd(-0.5), _CMP_EQ_OQ));
    const __m256d bad = _mm256_or_pd(_mm256_or_pd(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_NGT_UQ), tie),
                                     _mm256_cmp_pd(y, two52, _CMP_NLT_UQ));
    unsettled = _mm256_and_pd(awkward, bad);
    return _mm256_castsi256_pd(_mm256_sub_epi64(_mm256_castpd_si256(t), two52_bits));
}

// Lanes that are fixed points of the factor: positive subnormals of fewer
// than `limit` steps. They keep their value without the exact (slow) path.
ARBOLET_TARGET_AVX2 inline __m256d stuck_lanes_avx2(__m256d v, __m256i limit) {
    const __m256i bits = _mm256_castpd_si256(v);
    return _mm256_castsi256_pd(
        _mm256_and_si256(_mm256_cmpgt_epi64(bits, _mm256_setzero_si256()), _mm256_cmpgt_epi64(limit, bits)));
}

// Which loops the decay runs: ARBOLET_PORTABLE_KERNELS (see
// rcf/box_kernels.hpp) set to "2" keeps it on the packed ones that never give
// the hardware a subnormal, and set otherwise (not "0") on the plain ones,
// to compare the three. Read once.
enum class DecayLoops { Packed, PackedNoSubnormals, Plain };
DecayLoops decay_loops() {
    static const DecayLoops loops = [] {
        const char* forced = std::getenv("ARBOLET_PORTABLE_KERNELS");
        if (forced == nullptr || forced[0] == '\0' || (forced[0] == '0' && forced[1] == '\0'))
            return DecayLoops::Packed;
        return forced[0] == '2' && forced[1] == '\0' ? DecayLoops::PackedNoSubnormals : DecayLoops::Plain;
    }();
    return loops;
}

// Whether the hardware multiply may take subnormal counts: it rounds them
// exactly as multiply_small does while the MXCSR register keeps its default
// (no flush to zero, no denormals read as zero, rounding to nearest), and on
// AMD's family 19h (Zen 3 and 4) it takes no longer than for normal numbers,
// where other processors take a microcode assist of a hundred cycles or more
// per product (measured on Zen 3: 0.32 ns per product either way).
bool hardware_subnormals() {
    static const bool fast_processor = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return false;
        const bool amd = ebx == 0x68747541 && edx == 0x69746e65 && ecx == 0x444d4163;  // "AuthenticAMD"
        if (!amd || !__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
        unsigned family = (eax >> 8) & 0xf;
        if (family == 0xf) family += (eax >> 20) & 0xff;
        return family == 0x19;
    }();
    constexpr unsigned kFlushZero = 0x8000, kRounding = 0x6000, kDenormalsZero = 0x40;
    return fast_processor && decay_loops() == DecayLoops::Packed && (_mm_getcsr() & (kFlushZero | kRounding | kDenormalsZero)) == 0;
}

// The constants of the packed path for one factor (normal, in (0, 1)).
struct PackedFactor {
    __m256d f;
    __m256d safe;
    __m256i stuck_limit;  // stuck_units + 1
    __m256i kept_below;   // the same with the top bit flipped (see advance_block_avx2)
    // Bits of `safe`, `safe_4` and `safe_16` less one: a positive count
    // whose bits exceed them has that many normal products in a row.
    __m256i fine_1;
    __m256i fine_4;
    __m256i fine_16;
    double factor;
    // Whether the hardware multiply gives every product, subnormal ones
    // included, exactly and at full speed here (see hardware_subnormals).
    bool hardware_subnormals;
};

ARBOLET_TARGET_AVX2 inline __m256i bits_less_one(double x) {
    return _mm256_set1_epi64x(std::bit_cast<std::int64_t>(x) - 1);
}

ARBOLET_TARGET_AVX2 inline PackedFactor packed_factor(const DecayIndex& index) {
    PackedFactor k;
    k.factor = std::bit_cast<double>(index.factor_bits);
    k.f = _mm256_set1_pd(k.factor);
    k.safe = _mm256_set1_pd(index.safe);
    k.stuck_limit = _mm256_set1_epi64x(static_cast<std::int64_t>(index.stuck_units + 1));
    k.kept_below = _mm256_xor_si256(k.stuck_limit, _mm256_set1_epi64x(std::numeric_limits<std::int64_t>::min()));
    k.fine_1 = bits_less_one(index.safe);
    k.fine_4 = bits_less_one(index.safe_4);
    k.fine_16 = bits_less_one(index.safe_16);
    k.hardware_subnormals = hardware_subnormals();
    return k;
}

// One multiplication of a block (the 8 counts in a and b, also at q) holding
// a count that is tiny but not stuck (or a negative one), lane by lane as
// decay_one does: small lanes never reach the hardware multiply, stuck ones
// keep their value, the rest take multiply_awkward_avx2 and, where that
// cannot settle them, multiply_awkward. Leaves the result in a and b (at q
// only if a lane needed multiply_awkward); whether any count changed.
ARBOLET_TARGET_AVX2 inline bool awkward_step_avx2(double* q, __m256d& a, __m256d& b, const PackedFactor& k) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d small_a = _mm256_and_pd(_mm256_cmp_pd(a, k.safe, _CMP_LT_OQ), _mm256_cmp_pd(a, zero, _CMP_NEQ_OQ));
    const __m256d small_b = _mm256_and_pd(_mm256_cmp_pd(b, k.safe, _CMP_LT_OQ), _mm256_cmp_pd(b, zero, _CMP_NEQ_OQ));
    const __m256d stuck_a = stuck_lanes_avx2(a, k.stuck_limit);
    const __m256d stuck_b = stuck_lanes_avx2(b, k.stuck_limit);
    const __m256d awkward_a = _mm256_andnot_pd(stuck_a, small_a);
    const __m256d awkward_b = _mm256_andnot_pd(stuck_b, small_b);
    __m256d out_a = _mm256_blendv_pd(_mm256_mul_pd(_mm256_andnot_pd(small_a, a), k.f), a, stuck_a);
    __m256d out_b = _mm256_blendv_pd(_mm256_mul_pd(_mm256_andnot_pd(small_b, b), k.f), b, stuck_b);
    __m256d unsettled_a, unsettled_b;
    const __m256d tiny_a = multiply_awkward_avx2(a, awkward_a, k.f, unsettled_a);
    const __m256d tiny_b = multiply_awkward_avx2(b, awkward_b, k.f, unsettled_b);
    // Unsettled lanes keep their count here and are redone below.
    out_a = _mm256_blendv_pd(_mm256_blendv_pd(out_a, tiny_a, awkward_a), a, unsettled_a);
    out_b = _mm256_blendv_pd(_mm256_blendv_pd(out_b, tiny_b, awkward_b), b, unsettled_b);
    const unsigned unsettled =
        static_cast<unsigned>(_mm256_movemask_pd(unsettled_a) | (_mm256_movemask_pd(unsettled_b) << 4));
    const __m256i same = _mm256_and_si256(_mm256_cmpeq_epi64(_mm256_castpd_si256(out_a), _mm256_castpd_si256(a)),
                                          _mm256_cmpeq_epi64(_mm256_castpd_si256(out_b), _mm256_castpd_si256(b)));
    bool changed = _mm256_movemask_pd(_mm256_castsi256_pd(same)) != 15;
    a = out_a;
    b = out_b;
    if (unsettled != 0) {
        _mm256_storeu_pd(q, a);
        _mm256_storeu_pd(q + 4, b);
        for (unsigned lanes = unsettled; lanes != 0; lanes &= lanes - 1) {
            double& c = q[std::countr_zero(lanes)];
            const double d = multiply_awkward(c, k.factor);
            changed |= !same_bits(d, c);
            c = d;
        }
        a = _mm256_loadu_pd(q);
        b = _mm256_loadu_pd(q + 4);
    }
    return changed;
}

ARBOLET_TARGET_AVX2 inline bool all_lanes_avx2(__m256i mask) {
    return _mm256_testc_si256(mask, _mm256_set1_epi64x(-1)) != 0;
}

// Whether every lane is kept or a positive count whose bits exceed `from`
// (signed comparisons leave negative counts out).
ARBOLET_TARGET_AVX2 inline bool fine_lanes_avx2(__m256i ia, __m256i ib, __m256i kept_a, __m256i kept_b,
                                                __m256i from) {
    return all_lanes_avx2(_mm256_and_si256(_mm256_or_si256(kept_a, _mm256_cmpgt_epi64(ia, from)),
                                           _mm256_or_si256(kept_b, _mm256_cmpgt_epi64(ib, from))));
}

template <int Steps>
ARBOLET_TARGET_AVX2 inline void multiply_run_avx2(__m256d& a, __m256d& b, __m256i kept_a, __m256i kept_b,
                                                  __m256d f) {
    // Kept lanes are zeroed for the multiplications, so that a stuck count
    // never reaches them (where a processor may take an assist).
    const __m256d ka = _mm256_castsi256_pd(kept_a);
    const __m256d kb = _mm256_castsi256_pd(kept_b);
    __m256d ya = _mm256_andnot_pd(ka, a);
    __m256d yb = _mm256_andnot_pd(kb, b);
#pragma GCC unroll 16
    for (int i = 0; i < Steps; ++i) {
        ya = _mm256_mul_pd(ya, f);
        yb = _mm256_mul_pd(yb, f);
    }
    a = _mm256_blendv_pd(ya, a, ka);
    b = _mm256_blendv_pd(yb, b, kb);
}

// Applies some of the `steps` multiplications owed by the 8 counts in a and
// b (also at q), and takes them off `steps`; true once the counts keep their
// values (as they would under any further ones).
//
// A lane's bits read as an unsigned integer u keep their value when
// u <= stuck_units (zeros and stuck counts, exact fixed points). The others
// go to the hardware multiply while every product on the way is normal,
// which the thresholds of PackedFactor tell for runs of 16, 4 and 1
// multiplications; a block with any other lane takes one multiplication
// lane by lane.
ARBOLET_TARGET_AVX2 inline bool advance_some_avx2(double* q, __m256d& a, __m256d& b, std::uint64_t& steps,
                                                  const PackedFactor& k) {
    // Unsigned comparisons as signed ones, with the top bit flipped.
    const __m256i flip = _mm256_set1_epi64x(std::numeric_limits<std::int64_t>::min());
    const __m256i ia = _mm256_castpd_si256(a);
    const __m256i ib = _mm256_castpd_si256(b);
    const __m256i kept_a = _mm256_cmpgt_epi64(k.kept_below, _mm256_xor_si256(ia, flip));
    const __m256i kept_b = _mm256_cmpgt_epi64(k.kept_below, _mm256_xor_si256(ib, flip));
    if (all_lanes_avx2(_mm256_and_si256(kept_a, kept_b))) return true;
    if (k.hardware_subnormals) {
        if (steps >= 16) {
            multiply_run_avx2<16>(a, b, kept_a, kept_b, k.f);
            steps -= 16;
        } else if (steps >= 4) {
            multiply_run_avx2<4>(a, b, kept_a, kept_b, k.f);
            steps -= 4;
        } else {
            multiply_run_avx2<1>(a, b, kept_a, kept_b, k.f);
            steps -= 1;
        }
        return false;
    }
    if (steps >= 16 && fine_lanes_avx2(ia, ib, kept_a, kept_b, k.fine_16)) {
        multiply_run_avx2<16>(a, b, kept_a, kept_b, k.f);
        steps -= 16;
    } else if (steps >= 4 && fine_lanes_avx2(ia, ib, kept_a, kept_b, k.fine_4)) {
        multiply_run_avx2<4>(a, b, kept_a, kept_b, k.f);
        steps -= 4;
    } else if (fine_lanes_avx2(ia, ib, kept_a, kept_b, k.fine_1)) {
        multiply_run_avx2<1>(a, b, kept_a, kept_b, k.f);
        steps -= 1;
    } else {
        if (!awkward_step_avx2(q, a, b, k)) return true;
        steps -= 1;
    }
    return false;
}

// Applies `steps` multiplications to the 8 counts at q; true once they keep
// their values.
ARBOLET_TARGET_AVX2 inline bool advance_block_avx2(double* q, std::uint64_t steps, const PackedFactor& k) {
    __m256d a = _mm256_loadu_pd(q);
    __m256d b = _mm256_loadu_pd(q + 4);
    bool kept = false;
    while (steps > 0 && !kept) kept = advance_some_avx2(q, a, b, steps, k);
    _mm256_storeu_pd(q, a);
    _mm256_storeu_pd(q + 4, b);
    return kept;
}

// Catches up to kGroup full blocks at once. A block's multiplications form
// one chain, each waiting for the one before; taking a few blocks in turn
// lets the processor work on their chains side by side.
constexpr std::size_t kGroup = 4;
ARBOLET_TARGET_AVX2 void catch_up_group_avx2(const OwedBlock* owed, std::size_t count, const PackedFactor& k) {
    __m256d a[kGroup];
    __m256d b[kGroup];
    std::uint64_t steps[kGroup];
    for (std::size_t i = 0; i < count; ++i) {
        a[i] = _mm256_loadu_pd(owed[i].counts);
        b[i] = _mm256_loadu_pd(owed[i].counts + 4);
        steps[i] = owed[i].lag;
    }
    for (bool any = true; any;) {
        any = false;
        for (std::size_t i = 0; i < count; ++i) {
            if (steps[i] == 0) continue;
            if (advance_some_avx2(owed[i].counts, a[i], b[i], steps[i], k)) steps[i] = 0;
            any = true;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        _mm256_storeu_pd(owed[i].counts, a[i]);
        _mm256_storeu_pd(owed[i].counts + 4, b[i]);
    }
}

// catch_up_blocks for blocks of full width that all owe decays by one
// factor, which the packed path takes.
ARBOLET_TARGET_AVX2_FLATTEN void catch_up_blocks_avx2(const OwedBlock* owed, std::size_t count) {
    const PackedFactor k = packed_factor(*owed[0].index);
    for (std::size_t i = 0; i < count; i += kGroup) catch_up_group_avx2(owed + i, std::min(kGroup, count - i), k);
    _mm256_zeroupper();
}

// advance_block_avx2 for one block, with clean upper halves on return
// (before any legacy-SSE code runs again, the rest of this process, libm's
// asinh included: with them dirty, every such instruction pays a transition
// penalty, which here made asinh ~13x slower).
ARBOLET_TARGET_AVX2_FLATTEN bool advance_one_avx2(double* q, std::uint64_t steps, const DecayIndex& index) {
    const bool kept = advance_block_avx2(q, steps, packed_factor(index));
    _mm256_zeroupper();
    return kept;
}

// Catches up the pending blocks among the first `blocks`.
ARBOLET_TARGET_AVX2_FLATTEN void catch_up_avx2(double* p, std::size_t blocks, DecayIndex& index) {
    const PackedFactor k = packed_factor(index);
    std::uint64_t* pending = index.pending.data();
    for (std::size_t w = 0; w * 64 < blocks; ++w) {
        std::uint64_t todo = pending[w];
        if (blocks - w * 64 < 64) todo &= (std::uint64_t{1} << (blocks - w * 64)) - 1;
        std::uint64_t kept = 0;
        for (; todo != 0; todo &= todo - 1) {
            const std::size_t bit = static_cast<std::size_t>(std::countr_zero(todo));
            const std::size_t block = w * 64 + bit;
            const std::uint64_t lag = index.epoch - index.applied[block];
            if (lag == 0) continue;
            const bool aside = advance_block_avx2(p + block * kBlock, lag, k);
            kept |= static_cast<std::uint64_t>(aside) << bit;
            index.applied[block] = aside ? DecayIndex::kAside : static_cast<std::uint16_t>(index.epoch);
        }
        pending[w] &= ~kept;
    }
    _mm256_zeroupper();
}

#endif

bool is_pending(const DecayIndex& index, std::size_t block) {
    return ((index.pending[block / 64] >> (block % 64)) & 1) != 0;
}

#if defined(ARBOLET_X86_DISPATCH)
// Whether the packed path takes this factor (on a processor with AVX2).
bool packed(double factor) {
    return std::isnormal(factor) && factor > 0.0 && factor < 1.0 && decay_loops() != DecayLoops::Plain &&
           cpu_has_avx2();
}
#endif

// Applies `steps` multiplications by the index's factor to the n counts at
// p, one at a time; true once they keep their values.
bool advance_block(double* p, std::size_t n, std::uint64_t steps, const DecayIndex& index) {
    const double factor = std::bit_cast<double>(index.factor_bits);
#if defined(ARBOLET_X86_DISPATCH)
    if (n == kBlock && packed(factor)) return advance_one_avx2(p, steps, index);
#endif
    const bool factor_normal = std::isnormal(factor);
    for (; steps > 0; --steps)
        if (!decay_block(p, n, factor, index.safe, factor_normal)) return true;
    return false;
}

// 4 * safe / factor^(n - 1): a count at least this large keeps a normal
// product for n multiplications in a row, each rounding down by less than a
// half in 2^52, which the margin of 2 covers with the roundings of the bound
// (n <= 16). Infinite, so never met, when the power underflows.
double safe_for(double safe, double factor, int n) {
    double power = 1.0;
    for (int i = 1; i < n; ++i) power *= factor;
    return 4.0 * safe / power;
}

}  // namespace

void decay_counts(std::span<double> counts, DecayIndex& index, double factor) {
    const std::uint64_t factor_bits = std::bit_cast<std::uint64_t>(factor);
    if (index.valid && index.factor_bits == factor_bits) {
        if (index.epoch == DecayIndex::kMaxEpoch) {
            catch_up_counts(counts, index);
            for (std::uint16_t& a : index.applied)
                if (a != DecayIndex::kAside) a = 0;
            index.epoch = 0;
        }
        ++index.epoch;
        index.caught_up = false;
        return;
    }
    // The decays owed under the previous factor come first. Nothing is known
    // to survive the new one unchanged: every block is pending, and its first
    // catch-up settles the ones that are.
    if (index.valid) catch_up_counts(counts, index);
    const std::size_t blocks = (counts.size() + kBlock - 1) / kBlock;
    index.pending.assign((blocks + 63) / 64, ~std::uint64_t{0});
    index.applied.assign(blocks, 0);
    index.factor_bits = factor_bits;
    // Any count at least this large keeps a normal product, and zeros stay
    // zero. Counts in between (and negative ones) never reach the hardware
    // multiply, which then never meets a subnormal. NaN compares false and
    // is left to the hardware.
    index.safe = 2.0 * std::numeric_limits<double>::min() / std::fabs(factor);
    index.safe_4 = safe_for(index.safe, factor, 4);
    index.safe_16 = safe_for(index.safe, factor, 16);
    index.stuck_units = stuck_units(factor);
    index.epoch = 1;
    index.caught_up = false;
    index.valid = true;
}

void catch_up_counts(std::span<double> counts, DecayIndex& index) {
    if (index.caught_up) return;
    double* p = counts.data();
    const std::size_t n = counts.size();
    const std::size_t blocks = (n + kBlock - 1) / kBlock;
    std::size_t done = 0;  // leading blocks of full width done by the packed path
#if defined(ARBOLET_X86_DISPATCH)
    if (packed(std::bit_cast<double>(index.factor_bits))) {
        done = n / kBlock;
        catch_up_avx2(p, done, index);
    }
#endif
    for (std::size_t block = done; block < blocks; ++block) {
        if (!is_pending(index, block)) continue;
        const std::size_t first = block * kBlock;
        if (advance_block(p + first, std::min(kBlock, n - first), index.epoch - index.applied[block], index)) {
            settle(index.pending.data(), block);
            index.applied[block] = DecayIndex::kAside;
        } else {
            index.applied[block] = static_cast<std::uint16_t>(index.epoch);
        }
    }
    index.caught_up = true;
}

void CatchUpBatch::claim_owed(std::span<double> counts, DecayIndex& index, std::size_t block) {
    std::uint16_t& applied = index.applied[block];
    if (applied == DecayIndex::kAside) {
        index.pending[block / 64] |= std::uint64_t{1} << (block % 64);
    } else {
        const std::size_t first = block * kBlock;
        owed_[size_++] = {counts.data() + first, std::min(kBlock, counts.size() - first),
                          static_cast<std::uint64_t>(index.epoch - applied), &index};
        if (size_ == kCapacity) apply();
    }
    applied = static_cast<std::uint16_t>(index.epoch);
}

void CatchUpBatch::apply() {
    std::size_t done = 0;
#if defined(ARBOLET_X86_DISPATCH)
    // The leading blocks that the packed path takes together.
    if (size_ > 0 && packed(std::bit_cast<double>(owed_[0].index->factor_bits))) {
        while (done < size_ && owed_[done].n == kBlock && owed_[done].index->factor_bits == owed_[0].index->factor_bits)
            ++done;
        if (done > 0) catch_up_blocks_avx2(owed_, done);
    }
#endif
    for (std::size_t i = done; i < size_; ++i) advance_block(owed_[i].counts, owed_[i].n, owed_[i].lag, *owed_[i].index);
    size_ = 0;
}

double owed_count(std::span<const double> counts, const DecayIndex& index, std::size_t i) {
    const std::uint16_t applied = index.applied[i / kBlock];
    double c = counts[i];
    if (applied == DecayIndex::kAside) return c;
    // The one count, one multiplication at a time; once one leaves it
    // unchanged, so would the rest.
    const double factor = std::bit_cast<double>(index.factor_bits);
    const bool factor_normal = std::isnormal(factor);
    for (std::uint32_t lag = index.epoch - applied; lag > 0; --lag) {
        const double d = decay_one(c, factor, index.safe, factor_normal);
        if (same_bits(d, c)) break;
        c = d;
    }
    return c;
}

RecordSketch RecordSketch::build(const MStreamConfig& config, Xoshiro256PlusPlus& rng) {
    const std::uint64_t rows = config.num_rows;
    const std::uint64_t buckets = config.num_buckets;
    RecordSketch sketch;
    sketch.num_rows = rows;
    sketch.num_buckets = buckets;
    sketch.numeric_dim = config.numeric_dim;
    sketch.categorical_dim = config.categorical_dim;

    sketch.numeric_planes = Matrix<double>::zeros({rows, plane_count(buckets), config.numeric_dim});
    for (double& value : sketch.numeric_planes.data) value = rng.standard_normal();

    sketch.categorical_coeffs = Matrix<std::int64_t>::zeros({rows, config.categorical_dim});
    const std::uint64_t features = config.categorical_dim;
    for (std::uint64_t r = 0; r < rows; ++r) {
        std::int64_t* row = sketch.categorical_coeffs.data.data() + r * features;
        for (std::uint64_t j = 0; j < features; ++j) {
            const std::uint64_t value = j + 1 < features ? 1 + rng.below(buckets - 1) : rng.below(buckets);
            row[j] = static_cast<std::int64_t>(value);
        }
    }

    sketch.count = Matrix<double>::zeros({rows, buckets});
    return sketch;
}

namespace {

// Plain left-to-right sum below 8 features; from 8 on, eight interleaved
// partial sums combined pairwise, then the leftover products in order.
double dot(const double* plane, const double* values, std::size_t n) {
    if (n < 8) {
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) sum += plane[k] * values[k];
        return sum;
    }
    const std::size_t blocked = n - n % 8;
#if defined(ARBOLET_VECTOR_EXTENSIONS)
    // The same sums with the partials in registers, two to a register (in
    // an array the compiler keeps them in memory).
    using D2 = double __attribute__((vector_size(16)));
    const auto product = [](const double* a, const double* b, D2& into) {
        D2 x, y;
        std::memcpy(&x, a, sizeof x);
        std::memcpy(&y, b, sizeof y);
        into += x * y;
    };
    D2 p01 = {0.0, 0.0}, p23 = {0.0, 0.0}, p45 = {0.0, 0.0}, p67 = {0.0, 0.0};
    for (std::size_t i = 0; i < blocked; i += 8) {
        product(plane + i, values + i, p01);
        product(plane + i + 2, values + i + 2, p23);
        product(plane + i + 4, values + i + 4, p45);
        product(plane + i + 6, values + i + 6, p67);
    }
    const D2 first = p01 + p45;   // partials 0 + 4, 1 + 5
    const D2 second = p23 + p67;  // partials 2 + 6, 3 + 7
    double sum = 0.0;
    sum += first[0];
    sum += first[1];
    sum += second[0];
    sum += second[1];
#else
    double partial[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < blocked; i += 8)
        for (std::size_t k = 0; k < 8; ++k) partial[k] += plane[i + k] * values[i + k];
    double sum = 0.0;
    sum += partial[0] + partial[4];
    sum += partial[1] + partial[5];
    sum += partial[2] + partial[6];
    sum += partial[3] + partial[7];
#endif
    for (std::size_t k = blocked; k < n; ++k) sum += plane[k] * values[k];
    return sum;
}

// Bit i set when the dot product of plane i with the values is positive.
std::uint64_t plane_signs(const double* plane, const double* values, std::size_t n, std::uint64_t planes) {
    std::uint64_t g = 0;
    for (std::uint64_t i = 0; i < planes; ++i, plane += n)
        if (dot(plane, values, n) > 0.0) g |= std::uint64_t{1} << i;
    return g;
}

#if defined(ARBOLET_X86_DISPATCH)
// plane_signs for n >= 8 with each plane's eight partial sums in two
// four-lane registers, added up as dot() does.
ARBOLET_TARGET_AVX2 std::uint64_t plane_signs_avx2(const double* plane, const double* values, std::size_t n,
                                                   std::uint64_t planes) {
    const std::size_t blocked = n - n % 8;
    std::uint64_t g = 0;
    for (std::uint64_t i = 0; i < planes; ++i, plane += n) {
        __m256d low = _mm256_setzero_pd();
        __m256d high = _mm256_setzero_pd();
        for (std::size_t b = 0; b < blocked; b += 8) {
            low = _mm256_add_pd(low, _mm256_mul_pd(_mm256_loadu_pd(plane + b), _mm256_loadu_pd(values + b)));
            high = _mm256_add_pd(high, _mm256_mul_pd(_mm256_loadu_pd(plane + b + 4), _mm256_loadu_pd(values + b + 4)));
        }
        const __m256d pairs = _mm256_add_pd(low, high);  // partials 0 + 4, 1 + 5, 2 + 6, 3 + 7
        const __m128d first = _mm256_castpd256_pd128(pairs);
        const __m128d second = _mm256_extractf128_pd(pairs, 1);
        double sum = 0.0;
        sum += _mm_cvtsd_f64(first);
        sum += _mm_cvtsd_f64(_mm_unpackhi_pd(first, first));
        sum += _mm_cvtsd_f64(second);
        sum += _mm_cvtsd_f64(_mm_unpackhi_pd(second, second));
        for (std::size_t k = blocked; k < n; ++k) sum += plane[k] * values[k];
        if (sum > 0.0) g |= std::uint64_t{1} << i;
    }
    _mm256_zeroupper();
    return g;
}
#endif

}  // namespace

std::uint64_t RecordSketch::bucket(std::uint64_t row, std::span<const double> numeric,
                                   std::span<const std::int64_t> categorical) const {
    const std::uint64_t buckets = num_buckets;

    std::uint64_t q = 0;
    const std::int64_t* coeffs = categorical_coeffs.data.data() + row * categorical.size();
    for (std::size_t j = 0; j < categorical.size(); ++j) {
        const std::uint64_t o =
            fold(static_cast<std::uint64_t>(categorical[j]) ^ row ^ kValueConstant, kHashMultiplier);
        const std::uint64_t t = fold(o, static_cast<std::uint64_t>(coeffs[j]) ^ kCoefficientConstant);
        q = add_mod(q, std::rotl(t, static_cast<int>(o & 63)), buckets);
    }

    std::uint64_t g = 0;
    const std::size_t n = numeric.size();
    if (n > 0) {
        const std::uint64_t planes = plane_count(buckets);
        const double* plane = numeric_planes.data.data() + row * planes * n;
#if defined(ARBOLET_X86_DISPATCH)
        if (n >= 8 && cpu_has_avx2())
            g = plane_signs_avx2(plane, numeric.data(), n, planes);
        else
#endif
            g = plane_signs(plane, numeric.data(), n, planes);
    }
    return add_mod(q, g, buckets);
}

NumericSketch NumericSketch::build(std::uint64_t num_buckets) {
    NumericSketch sketch;
    sketch.num_buckets = num_buckets;
    sketch.count = Matrix<double>::zeros({num_buckets});
    return sketch;
}

CategoricalSketch CategoricalSketch::build(std::uint64_t num_rows, std::uint64_t num_buckets,
                                           Xoshiro256PlusPlus& rng) {
    CategoricalSketch sketch;
    sketch.num_rows = num_rows;
    sketch.num_buckets = num_buckets;
    sketch.hash_a = Matrix<std::int64_t>::zeros({num_rows});
    for (std::int64_t& a : sketch.hash_a.data) a = static_cast<std::int64_t>(1 + rng.below(num_buckets - 1));
    sketch.hash_b = Matrix<std::int64_t>::zeros({num_rows});
    for (std::int64_t& b : sketch.hash_b.data) b = static_cast<std::int64_t>(rng.below(num_buckets));
    sketch.count = Matrix<double>::zeros({num_rows, num_buckets});
    return sketch;
}

}  // namespace arbolet::mstream
