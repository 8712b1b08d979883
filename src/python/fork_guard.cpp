#include "python/fork_guard.hpp"

#include <pthread.h>

namespace arbolet::python {

std::atomic<std::uint64_t> process_generation{0};

namespace {

void entered_child() { process_generation.fetch_add(1, std::memory_order_relaxed); }

// Registered when the module is loaded; the handler runs in every child.
[[maybe_unused]] const int registered = pthread_atfork(nullptr, nullptr, &entered_child);

}  // namespace

}  // namespace arbolet::python
