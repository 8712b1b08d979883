// Dense row-major table of any number of axes (last axis fastest): the
// in-memory form of every table that documents write in matrix form.
#pragma once

#include <cstdint>
#include <vector>

#include "common/internal_failure.hpp"

namespace arbolet {

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
        m.dim = std::move(shape);
        return m;
    }

    friend bool operator==(const Matrix&, const Matrix&) = default;
};

}  // namespace arbolet
