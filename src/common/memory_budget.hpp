// How much memory a detector may take: the machine's RAM, or less where a
// container's memory limit (cgroup memory.max) says so. A detector whose
// full size exceeds it is refused with a message that says both figures,
// instead of the process being killed when its samples fill up.
#pragma once

#include <cstdint>
#include <new>
#include <string>

namespace arbolet {

// Raised (and turned into MemoryError) when something cannot fit.
class MemoryShortfall : public std::bad_alloc {
public:
    explicit MemoryShortfall(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Bytes this process may use at most, read once: the smaller of the
// physical memory and the memory limits of the process's cgroups.
std::uint64_t memory_available();

// Throws MemoryShortfall "<what> needs up to N bytes of memory, more than
// the M bytes available" when `bytes` exceeds memory_available() or the
// address space left under the process's limit (ulimit -v).
void check_memory(const char* what, std::uint64_t bytes);

// a * b and a + b, saturating at 2^64 - 1: sizes that only need comparing.
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b);
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b);

}  // namespace arbolet
