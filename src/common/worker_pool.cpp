#include "common/worker_pool.hpp"

#include "common/platform.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define ARBOLET_HAS_FORK 1
#endif

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
constexpr std::size_t kMaxParticipants = kMaxWorkers + 1;
// A worker that finished a task waits this long for the next job before it
// sleeps: streams of single calls then find it awake.
constexpr auto kSpin = std::chrono::microseconds(100);
// A caller whose tasks are all taken waits this long for the helpers still
// running one before it sleeps. The last task rarely takes longer, and waking
// a sleeping thread costs more than that on a virtual machine.
constexpr auto kCallerSpin = std::chrono::microseconds(200);

// The tasks one participant takes first. Participant p (the caller is 0,
// helpers count from 1 in the order they join) starts with the p-th share
// of the tasks, so that with a steady pool each thread keeps working on the
// same trees call after call and finds them in its own cache; then it helps
// with what is left of the others' shares.
struct alignas(64) Share {
    std::atomic<std::size_t> next{0};
    std::size_t end = 0;
};

struct Job {
    Job(TaskFn f, const void* c, std::size_t n, std::size_t helpers)
        : fn(f), context(c), tasks(n), participants(helpers + 1), helpers_wanted(helpers) {
        for (std::size_t p = 0; p < participants; ++p) {
            shares[p].next.store(p * tasks / participants, std::memory_order_relaxed);
            shares[p].end = (p + 1) * tasks / participants;
        }
    }

    TaskFn fn;
    const void* context;
    std::size_t tasks;
    std::size_t participants;
    std::size_t helpers_wanted;
    // Joined so far: raised under Pool::mutex, read by the caller without it
    // (once every wanted helper has joined, the job has left the queue).
    std::atomic<std::size_t> helpers{0};
    // Helpers that joined and have not finished yet: raised under
    // Pool::mutex, lowered by the helper when it has done its last task.
    std::atomic<std::size_t> active{0};
    Share shares[kMaxParticipants];

    std::mutex error_mutex;
    std::exception_ptr error;
    std::size_t error_task = SIZE_MAX;

    void run(std::size_t participant) {
        for (std::size_t k = 0; k < participants; ++k) run_share((participant + k) % participants);
    }

    void run_share(std::size_t p) {
        Share& share = shares[p];
        for (;;) {
            const std::size_t i = share.next.fetch_add(1, std::memory_order_relaxed);
            if (i >= share.end) return;
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
    std::atomic<std::size_t> sleeping_callers{0};  // callers waiting on `finished`

    // Takes the first queued job that still wants help, under `mutex`, with
    // the participant number of the taker.
    Job* claim(std::size_t& participant) {
        if (jobs.empty()) return nullptr;
        Job* job = jobs.front();
        participant = job->helpers.load(std::memory_order_relaxed) + 1;
        if (participant >= job->helpers_wanted) jobs.pop_front();
        // Counted as active before it counts as joined: a caller that reads
        // the second without the mutex must also see the first.
        job->active.fetch_add(1, std::memory_order_relaxed);
        job->helpers.store(participant, std::memory_order_release);
        return job;
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            std::size_t participant = 0;
            Job* job = claim(participant);
            if (job == nullptr) {
                // Spin a little without the mutex, then sleep.
                const std::uint64_t seen = posted.load(std::memory_order_acquire);
                lock.unlock();
                // Without a system call per round: yielding costs a
                // microsecond or more on a virtual machine, as long as the
                // tasks of a small call.
                const auto until = std::chrono::steady_clock::now() + kSpin;
                while (posted.load(std::memory_order_acquire) == seen && std::chrono::steady_clock::now() < until)
                    spin_pause();
                lock.lock();
                if (posted.load(std::memory_order_acquire) == seen && jobs.empty())
                    wake.wait(lock, [&] { return !jobs.empty(); });
                continue;
            }
            lock.unlock();
            job->run(participant);
            // The caller may return (and the job go) as soon as this reaches
            // 0. A caller that checked it before sleeping counted itself in
            // sleeping_callers first (both sequentially consistent), so it is
            // seen here; taking the mutex waits until it sleeps.
            job->active.fetch_sub(1, std::memory_order_seq_cst);
            lock.lock();
            if (sleeping_callers.load(std::memory_order_seq_cst) != 0) finished.notify_all();
        }
    }
};

// Replaced in a fork child, whose copy may hold a locked mutex and names
// threads that do not exist there; the old one is deliberately leaked.
std::atomic<Pool*> current{nullptr};
#ifdef ARBOLET_HAS_FORK
std::once_flag fork_handler;
#endif

Pool& pool() {
    Pool* p = current.load(std::memory_order_acquire);
    if (p != nullptr) return *p;
#ifdef ARBOLET_HAS_FORK
    std::call_once(fork_handler, [] {
        pthread_atfork(nullptr, nullptr, [] { current.store(nullptr, std::memory_order_release); });
    });
#endif
    Pool* fresh = new Pool();
    if (current.compare_exchange_strong(p, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;  // another thread was first
    return *p;
}

}  // namespace

// Participants beyond the machine's CPUs would only take turns with each
// other, so a call never asks for more (the results are the same for any
// number): `threads=64` on two CPUs starts one worker, not 49.
std::size_t cpu_count() {
    static const std::size_t count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

void run_parallel(std::size_t tasks, std::size_t threads, TaskFn fn, const void* context) {
    Job job(fn, context, tasks, std::min({threads, tasks, kMaxParticipants, cpu_count()}) - 1);
    // Without memory or threads to spare, the caller runs every task itself
    // (the same results): a call never fails for want of helpers, and never
    // after its first task has changed something.
    Pool* shared = nullptr;
    try {
        shared = &pool();
    } catch (...) {
        job.run(0);
        if (job.error) std::rethrow_exception(job.error);
        return;
    }
    Pool& p = *shared;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        try {
            while (p.workers < std::min(job.helpers_wanted, kMaxWorkers)) {
                std::thread(&Pool::work, &p).detach();
                ++p.workers;
            }
        } catch (...) {
            // The workers already running help; the caller does the rest.
        }
        try {
            p.jobs.push_back(&job);
            p.posted.fetch_add(1, std::memory_order_release);
        } catch (...) {
            job.helpers_wanted = 0;  // not queued: no helper can join
        }
    }
    if (job.helpers_wanted != 0) p.wake.notify_all();
    job.run(0);
    if (job.helpers.load(std::memory_order_acquire) < job.helpers_wanted) {
        // No helper may join once the caller has taken every task.
        std::lock_guard<std::mutex> lock(p.mutex);
        const auto queued = std::find(p.jobs.begin(), p.jobs.end(), &job);
        if (queued != p.jobs.end()) p.jobs.erase(queued);
    }
    const auto until = std::chrono::steady_clock::now() + kCallerSpin;
    while (job.active.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < until) spin_pause();
    if (job.active.load(std::memory_order_acquire) != 0) {
        std::unique_lock<std::mutex> lock(p.mutex);
        p.sleeping_callers.fetch_add(1, std::memory_order_seq_cst);
        p.finished.wait(lock, [&] { return job.active.load(std::memory_order_seq_cst) == 0; });
        p.sleeping_callers.fetch_sub(1, std::memory_order_seq_cst);
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
