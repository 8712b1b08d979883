#include "common/internal_failure.hpp"

#include "common/memory_budget.hpp"

#include "common/platform.hpp"

namespace arbolet {

void fail(std::string message) { throw InternalFailure(std::move(message)); }

void check_allocation(std::uint64_t count, std::uint64_t element_size) {
    std::uint64_t bytes = 0;
    if (!checked_mul(count, element_size, bytes)) bytes = UINT64_MAX;
    check_memory("an allocation", bytes);
}

bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !mul_overflows(a, b, out); }
bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !add_overflows(a, b, out); }

}  // namespace arbolet
