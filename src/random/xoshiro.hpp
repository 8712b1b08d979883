// xoshiro256++ with SplitMix64 seeding, and the primitives drawn from it.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace arbolet {

struct Xoshiro256PlusPlus {
    std::array<std::uint64_t, 4> s{};

    static Xoshiro256PlusPlus seeded(std::uint64_t seed);
    // 32 bytes of the operating system's random source as four little-endian
    // words; an all-zero buffer becomes seeded(0). Raises InternalFailure
    // "unexpected failure from SysRng: ..." when the source fails.
    static Xoshiro256PlusPlus from_os_random();
    static Xoshiro256PlusPlus from_bytes(const unsigned char (&bytes)[32]);

    std::uint64_t peek_u64() const { return std::rotl(s[0] + s[3], 23) + s[0]; }

    std::uint64_t next_u64() {
        const std::uint64_t result = peek_u64();
        const std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = std::rotl(s[3], 45);
        return result;
    }

    // [0, 1) on a grid of 2^-53.
    double uniform_f64() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

    // Plain remainder: callers never pass 0.
    std::uint64_t below(std::uint64_t n) { return next_u64() % n; }

    // (0, 1): a value in [1, 2) from the top 52 bits, minus 1 - 2^-53.
    double open01_f64() {
        const std::uint64_t bits = (next_u64() >> 12) | 0x3ff0000000000000ULL;
        return std::bit_cast<double>(bits) - 0.9999999999999999;
    }

    // 256-layer symmetric ziggurat.
    double standard_normal();

    friend bool operator==(const Xoshiro256PlusPlus&, const Xoshiro256PlusPlus&) = default;
};

}  // namespace arbolet
