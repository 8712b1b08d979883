#include "common/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace arbolet {
namespace pool_detail {
namespace {

// More workers than this never pay: each forest call has at most a few
// hundred trees.
constexpr std::size_t kMaxWorkers = 63;
// A worker that finished a task waits this long for the next job before it
// sleeps: streams of single calls then find it awake.
constexpr auto kSpin = std::chrono::microseconds(100);

struct Job {
    Job(TaskFn f, const void* c, std::size_t n, std::size_t helpers)
        : fn(f), context(c), tasks(n), helpers_wanted(helpers) {}

    TaskFn fn;
    const void* context;
    std::size_t tasks;
    std::size_t helpers_wanted;
    std::size_t helpers = 0;  // under Pool::mutex
    std::size_t active = 0;   // helpers inside run_tasks, under Pool::mutex
    std::atomic<std::size_t> next{0};

    std::mutex error_mutex;
    std::exception_ptr error;
    std::size_t error_task = SIZE_MAX;

    void run_tasks() {
        for (;;) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= tasks) return;
            try {
                fn(context, i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (i < error_task) {
                    error_task = i;
                    error = std::current_exception();
                }
            }
        }
    }
};

struct Pool {
    std::mutex mutex;
    std::condition_variable wake;      // workers: a job is queued
    std::condition_variable finished;  // callers: a helper left a job
    std::deque<Job*> jobs;
    std::size_t workers = 0;
    std::atomic<std::uint64_t> posted{0};  // jobs queued so far, for spinning workers

    // Takes the first queued job that still wants help, under `mutex`.
    Job* claim() {
        if (jobs.empty()) return nullptr;
        Job* job = jobs.front();
        if (++job->helpers >= job->helpers_wanted) jobs.pop_front();
        ++job->active;
        return job;
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            Job* job = claim();
            if (job == nullptr) {
                // Spin a little without the mutex, then sleep.
                const std::uint64_t seen = posted.load(std::memory_order_acquire);
                lock.unlock();
                const auto until = std::chrono::steady_clock::now() + kSpin;
                while (posted.load(std::memory_order_acquire) == seen && std::chrono::steady_clock::now() < until)
                    std::this_thread::yield();
                lock.lock();
                if (posted.load(std::memory_order_acquire) == seen && jobs.empty())
                    wake.wait(lock, [&] { return !jobs.empty(); });
                continue;
            }
            lock.unlock();
            job->run_tasks();
            lock.lock();
            --job->active;
            if (job->active == 0) finished.notify_all();
        }
    }
};

// Replaced in a fork child, whose copy may hold a locked mutex and names
// threads that do not exist there; the old one is deliberately leaked.
std::atomic<Pool*> current{nullptr};
std::once_flag fork_handler;

Pool& pool() {
    Pool* p = current.load(std::memory_order_acquire);
    if (p != nullptr) return *p;
    std::call_once(fork_handler, [] {
        pthread_atfork(nullptr, nullptr, [] { current.store(nullptr, std::memory_order_release); });
    });
    Pool* fresh = new Pool();
    if (current.compare_exchange_strong(p, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;  // another thread was first
    return *p;
}

}  // namespace

void run_parallel(std::size_t tasks, std::size_t threads, TaskFn fn, const void* context) {
    Pool& p = pool();
    Job job(fn, context, tasks, std::min({threads, tasks, kMaxWorkers + 1}) - 1);
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        while (p.workers < std::min(job.helpers_wanted, kMaxWorkers)) {
            std::thread(&Pool::work, &p).detach();
            ++p.workers;
        }
        p.jobs.push_back(&job);
        p.posted.fetch_add(1, std::memory_order_release);
    }
    p.wake.notify_all();
    job.run_tasks();
    {
        std::unique_lock<std::mutex> lock(p.mutex);
        // No helper may join once the caller has taken every task.
        const auto queued = std::find(p.jobs.begin(), p.jobs.end(), &job);
        if (queued != p.jobs.end()) p.jobs.erase(queued);
        p.finished.wait(lock, [&] { return job.active == 0; });
    }
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace pool_detail

std::size_t pool_workers() {
    pool_detail::Pool* p = pool_detail::current.load(std::memory_order_acquire);
    if (p == nullptr) return 0;
    std::lock_guard<std::mutex> lock(p->mutex);
    return p->workers;
}

}  // namespace arbolet
