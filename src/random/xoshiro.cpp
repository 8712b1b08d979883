#include "random/xoshiro.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <bcrypt.h>
#elif defined(__APPLE__)
#include <sys/random.h>
#else
#include <unistd.h>
#endif

#include "common/internal_failure.hpp"

namespace arbolet {

Xoshiro256PlusPlus Xoshiro256PlusPlus::seeded(std::uint64_t seed) {
    Xoshiro256PlusPlus g;
    std::uint64_t x = seed;
    for (auto& word : g.s) {
        x += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        word = z ^ (z >> 31);
    }
    return g;
}

Xoshiro256PlusPlus Xoshiro256PlusPlus::from_bytes(const unsigned char (&bytes)[32]) {
    Xoshiro256PlusPlus g;
    bool all_zero = true;
    for (int w = 0; w < 4; ++w) {
        std::uint64_t word = 0;
        for (int b = 7; b >= 0; --b) word = (word << 8) | bytes[w * 8 + b];
        g.s[w] = word;
        all_zero = all_zero && word == 0;
    }
    // The all-zero state is a fixed point of the generator.
    return all_zero ? seeded(0) : g;
}

Xoshiro256PlusPlus Xoshiro256PlusPlus::from_os_random() {
    unsigned char bytes[32];
#if defined(_WIN32)
    const LONG status = BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) fail("unexpected failure from SysRng: NTSTATUS " + std::to_string(status));
#else
    errno = 0;
    const int rc = getentropy(bytes, sizeof bytes);
    if (rc != 0) {
        const int code = errno;
        if (rc == -1 && code > 0) fail("unexpected failure from SysRng: " + std::string(std::strerror(code)) +
                                       " (os error " + std::to_string(code) + ")");
        if (rc == -1) fail("unexpected failure from SysRng: errno: did not return a positive value");
        fail("unexpected failure from SysRng: unexpected situation");
    }
#endif
    return from_bytes(bytes);
}

}  // namespace arbolet
