// One process-wide pool of worker threads that spreads the independent parts
// of one call (a forest's trees) over several cores. Started on first use,
// grown to the largest request, shared by every detector, and started anew
// in a child after fork(). Workers run engine code only.
#pragma once

#include <cstddef>

namespace arbolet {

namespace pool_detail {
using TaskFn = void (*)(const void* context, std::size_t task);
void run_parallel(std::size_t tasks, std::size_t threads, TaskFn fn, const void* context);
}  // namespace pool_detail

// Runs task(i) for every i in [0, tasks) on up to `threads` threads, the
// calling one included, and returns when all have finished. Tasks must not
// depend on each other's order. An exception from a task is rethrown here
// once every task has run: the one of the lowest task index, as a serial loop
// would have thrown first (the tasks after it have run too, unlike in a loop).
template <class Task>
void parallel_for(std::size_t tasks, std::size_t threads, const Task& task) {
    if (threads <= 1 || tasks <= 1) {
        for (std::size_t i = 0; i < tasks; ++i) task(i);
        return;
    }
    pool_detail::run_parallel(
        tasks, threads, [](const void* c, std::size_t i) { (*static_cast<const Task*>(c))(i); }, &task);
}

// The number of workers running in this process (for tests and benchmarks).
std::size_t pool_workers();

}  // namespace arbolet
