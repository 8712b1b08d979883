// Detectors after fork(): a borrow that a thread of the parent held when the
// process forked is never released in the child (that thread does not exist
// there), and the detector may be half-way through a change. Every borrow
// records the process generation it was taken in; in a child, a detector
// still borrowed from an earlier generation refuses every call.
#pragma once

#include <atomic>
#include <cstdint>

#include "python/py.hpp"

namespace arbolet::python {

// fork() calls since the module was loaded that led to this process.
extern std::atomic<std::uint64_t> process_generation;

// Called before each borrow of an instance with its borrow flag and borrow
// generation. Sets RuntimeError and returns false when the flag is held by
// a thread of a parent process.
inline bool claim_for_this_process(const std::atomic<std::int64_t>& flag, std::atomic<std::uint64_t>& generation) {
    const std::uint64_t now = process_generation.load(std::memory_order_relaxed);
    if (flag.load(std::memory_order_relaxed) != 0 && generation.load(std::memory_order_relaxed) != now) {
        PyErr_SetString(PyExc_RuntimeError, "detector was in use when the process forked");
        return false;
    }
    // Stored before the borrow itself, so that a borrow that a fork catches
    // half-way still carries the parent's generation.
    generation.store(now, std::memory_order_relaxed);
    return true;
}

}  // namespace arbolet::python
