#include "python/fork_guard.hpp"

#include <new>
#include <pthread.h>

#include "python/borrow.hpp"

namespace arbolet::python {

std::atomic<std::uint64_t> process_generation{0};

namespace {

void entered_child() {
    process_generation.fetch_add(1, std::memory_order_relaxed);
    // A thread of the parent may have held the waiters' mutex, or been
    // counted as waiting, at the fork: the child starts with fresh ones (the
    // old ones are abandoned, never destroyed).
    new (&borrow_detail::waiters()) borrow_detail::Waiters();
}

// Registered when the module is loaded; the handler runs in every child.
[[maybe_unused]] const int registered = pthread_atfork(nullptr, nullptr, &entered_child);

}  // namespace

}  // namespace arbolet::python
