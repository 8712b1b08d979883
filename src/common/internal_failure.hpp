// Broken invariants (states that ordinary input cannot reach, or that only an
// inconsistent loaded document produces) end the call with one exception type.
// The binding turns it into PanicException; it is never undefined behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace arbolet {

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] void fail(std::string message);

// Bounds check used wherever an index comes from state rather than from the
// loop that produced it.
inline void check_index(std::uint64_t index, std::uint64_t size) {
    if (index >= size) [[unlikely]]
        fail("assertion failed: index < dim");
}

inline void check(bool condition, const char* message) {
    if (!condition) [[unlikely]]
        fail(message);
}

// Refuses a single allocation that cannot succeed on this machine, so that a
// huge size argument raises MemoryError instead of exhausting memory while
// the zero fill touches it. Throws MemoryShortfall (a std::bad_alloc).
void check_allocation(std::uint64_t count, std::uint64_t element_size);

// a * b, or nothing when the product does not fit in 64 bits.
bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out);
bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t& out);

}  // namespace arbolet
