// Dense row-major table of any number of axes (last axis fastest): the
// in-memory form of every table that documents write in matrix form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "common/internal_failure.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace arbolet {

// Gives back to the system the whole pages inside [p, p + bytes), which must
// hold zeros: private anonymous memory (all that malloc hands out) reads as
// zeros again after MADV_DONTNEED and is only made resident when next
// touched. The point store reserves far more rows than a forest usually
// fills, so its zero fill would otherwise stay resident.
inline void release_zero_pages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__)
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || bytes < 4 * static_cast<std::size_t>(page)) return;
    const std::uintptr_t mask = static_cast<std::uintptr_t>(page) - 1;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + mask) & ~mask;
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~mask;
    // Advice only: if it is refused, the zeros simply stay resident.
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
#endif
}

template <class T>
struct Matrix {
    std::vector<std::uint64_t> dim;
    std::vector<T> data;

    // Element count of a shape; InternalFailure when it does not fit in 64 bits.
    static std::uint64_t element_count(const std::vector<std::uint64_t>& shape) {
        std::uint64_t n = 1;
        for (std::uint64_t extent : shape)
            if (!checked_mul(n, extent, n)) fail("table size overflows");
        return n;
    }

    static Matrix zeros(std::vector<std::uint64_t> shape) {
        const std::uint64_t n = element_count(shape);
        check_allocation(n, sizeof(T));
        Matrix m;
        m.data.assign(n, T{});
        if constexpr (std::is_arithmetic_v<T>) release_zero_pages(m.data.data(), m.data.size() * sizeof(T));
        m.dim = std::move(shape);
        return m;
    }

    friend bool operator==(const Matrix&, const Matrix&) = default;
};

}  // namespace arbolet
