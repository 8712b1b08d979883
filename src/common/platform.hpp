// Compiler-specific pieces behind portable names. g++ and clang++ (Linux,
// macOS) get the builtins; other compilers (MSVC) get plain C++ that computes
// the same results. The plain versions live in `portable` and are always
// compiled, so that a check can hold them against the builtins
// (tests/cpp/platform_check.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

// ARBOLET_PORTABLE_ONLY (CMake option ARBOLET_PORTABLE_FALLBACKS) builds
// the fallbacks with g++ or clang++ too, so that the test suite can run
// against them.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(ARBOLET_PORTABLE_ONLY)
#define ARBOLET_GNU_BUILTINS 1
#endif

// Packed x86-64 kernels chosen at run time: functions compiled for a newer
// instruction set than the module's baseline, and the check of the running
// processor that guards their use.
#if defined(ARBOLET_GNU_BUILTINS) && defined(__x86_64__)
#define ARBOLET_X86_DISPATCH 1
#define ARBOLET_TARGET_AVX2 __attribute__((target("avx2")))
// The same for a function that takes in every call it makes that can be
// inlined (plain helpers included), so that a loop shared with the plain
// build is compiled whole for AVX2 around its packed kernels.
#define ARBOLET_TARGET_AVX2_FLATTEN __attribute__((target("avx2"), flatten))
#endif

// Four-lane vectors of the compiler's vector extension.
#if defined(ARBOLET_GNU_BUILTINS)
#define ARBOLET_VECTOR_EXTENSIONS 1
#endif

namespace arbolet {

#if defined(ARBOLET_X86_DISPATCH)
// Whether the running processor has AVX2: the guard of every ARBOLET_TARGET_AVX2
// kernel, asked once per process.
inline bool cpu_has_avx2() {
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return avx2;
}
#endif

namespace portable {

template <class T>
constexpr bool add_overflows(T a, T b, T& out) {
    static_assert(std::is_unsigned_v<T>);
    out = static_cast<T>(a + b);
    return out < a;
}

template <class T>
constexpr bool mul_overflows(T a, T b, T& out) {
    static_assert(std::is_unsigned_v<T>);
    out = static_cast<T>(a * b);
    return a != 0 && out / a != b;
}

// Unsigned 128-bit value with what the engine needs of it: the full product
// of two 64-bit words, shifts, comparison and the low word.
struct Uint128 {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;

    constexpr Uint128() = default;
    constexpr Uint128(std::uint64_t low) : lo(low) {}  // NOLINT: converts like the builtin type
    constexpr Uint128(std::uint64_t high, std::uint64_t low) : hi(high), lo(low) {}

    static constexpr Uint128 product(std::uint64_t a, std::uint64_t b) {
        const std::uint64_t a0 = a & 0xffffffffu, a1 = a >> 32, b0 = b & 0xffffffffu, b1 = b >> 32;
        const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const std::uint64_t middle = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
        return {p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), (middle << 32) | (p00 & 0xffffffffu)};
    }
    constexpr explicit operator std::uint64_t() const { return lo; }
    friend constexpr Uint128 operator>>(Uint128 v, int s) {
        if (s == 0) return v;
        if (s >= 128) return {};
        if (s >= 64) return {0, v.hi >> (s - 64)};
        return {v.hi >> s, (v.lo >> s) | (v.hi << (64 - s))};
    }
    friend constexpr Uint128 operator<<(Uint128 v, int s) {
        if (s == 0) return v;
        if (s >= 128) return {};
        if (s >= 64) return {v.lo << (s - 64), 0};
        return {(v.hi << s) | (v.lo >> (64 - s)), v.lo << s};
    }
    friend constexpr bool operator==(Uint128 a, Uint128 b) { return a.hi == b.hi && a.lo == b.lo; }
    friend constexpr bool operator>(Uint128 a, Uint128 b) { return a.hi != b.hi ? a.hi > b.hi : a.lo > b.lo; }
};

}  // namespace portable

// True when a + b (or a * b) does not fit in T; out holds the wrapped result.
template <class T>
inline bool add_overflows(T a, T b, T& out) {
#if defined(ARBOLET_GNU_BUILTINS)
    return __builtin_add_overflow(a, b, &out);
#else
    return portable::add_overflows(a, b, out);
#endif
}

template <class T>
inline bool mul_overflows(T a, T b, T& out) {
#if defined(ARBOLET_GNU_BUILTINS)
    return __builtin_mul_overflow(a, b, &out);
#else
    return portable::mul_overflows(a, b, out);
#endif
}

#if defined(__SIZEOF_INT128__) && !defined(ARBOLET_PORTABLE_ONLY)
using Uint128 = unsigned __int128;
inline Uint128 wide_product(std::uint64_t a, std::uint64_t b) { return static_cast<Uint128>(a) * b; }
#else
using Uint128 = portable::Uint128;
inline Uint128 wide_product(std::uint64_t a, std::uint64_t b) { return Uint128::product(a, b); }
#endif

// Tells the processor that this thread is spinning on a value another
// thread will change (lets that thread's core and its own pipeline breathe).
inline void spin_pause() {
#if defined(ARBOLET_GNU_BUILTINS) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_pause();
#endif
}

// Starts loading the cache line at p; a hint that never faults.
inline void prefetch(const void* p) {
#if defined(ARBOLET_GNU_BUILTINS)
    __builtin_prefetch(p);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
    (void)p;
#endif
}

// The same for every cache line of the `bytes` bytes (at least 1) at p.
inline void prefetch_bytes(const void* p, std::size_t bytes) {
    const char* first = static_cast<const char*>(p);
    const char* last = first + bytes - 1;
    for (const char* line = first; line <= last; line += 64) prefetch(line);
    prefetch(last);
}

}  // namespace arbolet
