// What the forest's operations work with besides its state: the thread
// count and reusable working storage.
#pragma once

#include <cstdint>
#include <vector>

#include "rcf/tree/tree.hpp"

namespace arbolet::rcf {

// Kept next to a forest by whoever runs it (the Python object holds one per
// forest) and passed to the operations that change it. Nothing here is
// state: a forest's bits are the same whatever workspace updates it, so any
// workspace may serve any forest, one at a time. The storage is taken on
// first use and grows with the largest forest served.
struct Workspace {
    // Threads that one call may spread the trees over, the calling one
    // included (1: no other). Every count gives the same bits.
    std::uint64_t threads = 1;
    // Working storage of the update path.
    TreeScratch scratch;
    // The same for each range of trees of a parallel update, taken ahead
    // like the rest of an update's memory (a worker's own would grow
    // mid-update).
    std::vector<TreeScratch> chunk_scratch;

    Workspace() = default;
    explicit Workspace(std::uint64_t thread_count) : threads(thread_count) {}
    // A copy takes the setting: the storage is each holder's own.
    Workspace(const Workspace& other) : threads(other.threads) {}
    Workspace& operator=(const Workspace& other) {
        threads = other.threads;
        return *this;
    }
    Workspace(Workspace&&) = default;
    Workspace& operator=(Workspace&&) = default;

    // The calling thread's own (one thread), for callers that keep none:
    // the Monitor's forests, the engine checks.
    static Workspace& of_this_thread() {
        thread_local Workspace work;
        return work;
    }
};

}  // namespace arbolet::rcf
