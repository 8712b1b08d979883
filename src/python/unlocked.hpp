// Engine work without the interpreter lock. Everything the engine reads must
// already be converted into engine values; nothing in the scope may touch a
// Python object. The lock is taken back when the scope ends, exceptions
// included, so the error mapping runs with it held.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "common/platform.hpp"
#include "python/lock_return.hpp"
#include "python/py.hpp"

namespace arbolet::python {

namespace unlocked_detail {

// Whether the interpreter lock is held by a thread that took it back at the
// end of one of these scopes and has not yet released it at the start of
// another. Set by that thread once it holds the lock, cleared by it just
// after it released the lock; read by threads about to take the lock back.
// Only a hint: a holder that lets the lock go elsewhere (blocking I/O, the
// interpreter's switch interval, thread exit) leaves it set until the next
// scope ends, which costs one returning thread one spin.
inline std::atomic<bool> holder_returned{false};

// Taking back a held lock sleeps in the kernel until the holder lets it go,
// and waking up costs about 10 µs on a virtual machine: several times what
// a Python loop does between two calls. Threads that take turns calling
// detectors (one per thread) therefore wait for such a holder by spinning,
// this long at most, and then take the lock as usual.
inline constexpr auto kSpin = std::chrono::microseconds(20);

// Whether a thread is spinning in wait_for_returned_holder: one is enough
// (only one can take the lock next), and more would take cores from the
// holder when there are more threads than cores.
inline std::atomic<bool> spinning{false};

inline void wait_for_returned_holder() {
    if (!holder_returned.load(std::memory_order_relaxed)) return;
    // With one core the holder cannot run while this thread spins.
    static const bool several_cores = std::thread::hardware_concurrency() > 1;
    if (!several_cores || spinning.exchange(true, std::memory_order_relaxed)) return;
    const auto until = std::chrono::steady_clock::now() + kSpin;
    while (holder_returned.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < until)
        spin_pause();
    spinning.store(false, std::memory_order_relaxed);
}

}  // namespace unlocked_detail

class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {
        unlocked_detail::holder_returned.store(false, std::memory_order_relaxed);
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() {
        unlocked_detail::wait_for_returned_holder();
        take_lock_back(state_);
        unlocked_detail::holder_returned.store(true, std::memory_order_relaxed);
    }

private:
    PyThreadState* state_;
};

template <class F>
decltype(auto) unlocked(F&& work) {
    Unlocked scope;
    return std::forward<F>(work)();
}

}  // namespace arbolet::python
