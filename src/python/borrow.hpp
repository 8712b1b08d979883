// The per-instance borrow flag: 0 free, n > 0 shared borrows, -1 exclusive.
// Engine work runs without the interpreter lock, so calls from several
// threads meet on one detector: a borrow that conflicts with another
// thread's waits for it (without the interpreter lock), while one that
// conflicts with a borrow of its own thread (a conversion calling back into
// the detector) can never be granted and raises RuntimeError.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "python/lock_return.hpp"
#include "python/py.hpp"

namespace arbolet::python {

enum class Borrow : std::uint8_t { None, Shared, Exclusive };

namespace borrow_detail {

// The flags this thread holds a borrow on, innermost last.
inline thread_local std::vector<const std::atomic<std::int64_t>*> held;

// Every waiting borrow in the process sleeps on one condition; releases
// only signal it while someone waits.
struct Waiters {
    std::mutex mutex;
    std::condition_variable freed;
    std::atomic<int> count{0};
};
inline Waiters& waiters() {
    static Waiters* w = new Waiters();  // never destroyed: threads may outlive exit handlers
    return *w;
}

inline bool try_take(std::atomic<std::int64_t>& flag, Borrow kind) {
    std::int64_t current = flag.load(std::memory_order_relaxed);
    if (kind == Borrow::Exclusive)
        return current == 0 &&
               flag.compare_exchange_strong(current, -1, std::memory_order_acquire, std::memory_order_relaxed);
    while (current != -1)
        if (flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
    return false;
}

}  // namespace borrow_detail

class BorrowGuard {
public:
    BorrowGuard() = default;
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard() { release(); }

    // Sets RuntimeError and returns false on a conflict with this thread's
    // own borrow, or with the error of a signal handler that ran while
    // waiting (Ctrl-C).
    bool acquire(std::atomic<std::int64_t>& flag, Borrow kind) {
        using namespace borrow_detail;
        if (kind == Borrow::None) return true;
        while (!try_take(flag, kind)) {
            if (std::find(held.begin(), held.end(), &flag) != held.end()) {
                PyErr_SetString(PyExc_RuntimeError,
                                kind == Borrow::Exclusive ? "Already borrowed" : "Already mutably borrowed");
                return false;
            }
            if (!wait_for_release(flag, kind)) return false;
        }
        held.push_back(&flag);
        flag_ = &flag;
        kind_ = kind;
        return true;
    }

    void release() {
        using namespace borrow_detail;
        if (flag_ == nullptr) return;
        if (kind_ == Borrow::Exclusive)
            flag_->store(0, std::memory_order_release);
        else
            flag_->fetch_sub(1, std::memory_order_release);
        auto it = std::find(held.rbegin(), held.rend(), flag_);
        if (it != held.rend()) held.erase(std::next(it).base());
        flag_ = nullptr;
        Waiters& w = waiters();
        if (w.count.load(std::memory_order_seq_cst) > 0) {
            // Taking the mutex orders this release before a waiter's check.
            { std::lock_guard<std::mutex> lock(w.mutex); }
            w.freed.notify_all();
        }
    }

private:
    // Sleeps without the interpreter lock until the flag may grant `kind`,
    // waking now and then to run signal handlers. False with the handler's
    // error set.
    static bool wait_for_release(std::atomic<std::int64_t>& flag, Borrow kind) {
        using namespace borrow_detail;
        Waiters& w = waiters();
        const auto grantable = [&] {
            const std::int64_t v = flag.load(std::memory_order_seq_cst);
            return kind == Borrow::Exclusive ? v == 0 : v != -1;
        };
        bool ready = false;
        while (!ready) {
            PyThreadState* const state = PyEval_SaveThread();
            {
                // Released before the interpreter lock is taken back: a
                // thread releasing a borrow with that lock held takes this one.
                std::unique_lock<std::mutex> lock(w.mutex);
                w.count.fetch_add(1, std::memory_order_seq_cst);
                ready = w.freed.wait_for(lock, std::chrono::milliseconds(50), grantable);
                w.count.fetch_sub(1, std::memory_order_seq_cst);
            }
            take_lock_back(state);
            if (!ready && PyErr_CheckSignals() != 0) return false;
        }
        return true;
    }

    std::atomic<std::int64_t>* flag_ = nullptr;
    Borrow kind_ = Borrow::None;
};

}  // namespace arbolet::python
