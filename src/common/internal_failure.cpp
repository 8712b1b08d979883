#include "common/internal_failure.hpp"

#include <new>
#include <unistd.h>

#include "common/platform.hpp"

namespace arbolet {

void fail(std::string message) { throw InternalFailure(std::move(message)); }

void check_allocation(std::uint64_t count, std::uint64_t element_size) {
    std::uint64_t bytes = 0;
    if (!checked_mul(count, element_size, bytes)) throw std::bad_alloc();
    static const std::uint64_t physical = [] {
        long pages = sysconf(_SC_PHYS_PAGES);
        long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) return UINT64_MAX;
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    }();
    if (bytes > physical) throw std::bad_alloc();
}

bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !mul_overflows(a, b, out); }
bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !add_overflows(a, b, out); }

}  // namespace arbolet
