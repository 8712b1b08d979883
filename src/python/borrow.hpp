// The per-instance borrow flag: 0 free, n > 0 shared borrows, -1 exclusive.
// Compare-and-swap keeps a second thread that reaches the same detector from
// racing; it gets a RuntimeError instead.
#pragma once

#include <atomic>
#include <cstdint>

#include "python/py.hpp"

namespace arbolet::python {

enum class Borrow : std::uint8_t { None, Shared, Exclusive };

class BorrowGuard {
public:
    BorrowGuard() = default;
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard() { release(); }

    // Sets RuntimeError and returns false on a conflicting borrow.
    bool acquire(std::atomic<std::int64_t>& flag, Borrow kind) {
        if (kind == Borrow::None) return true;
        if (kind == Borrow::Exclusive) {
            std::int64_t expected = 0;
            if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed)) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return false;
            }
        } else {
            std::int64_t current = flag.load(std::memory_order_relaxed);
            do {
                if (current == -1) {
                    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                    return false;
                }
            } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed));
        }
        flag_ = &flag;
        kind_ = kind;
        return true;
    }

    void release() {
        if (flag_ == nullptr) return;
        if (kind_ == Borrow::Exclusive)
            flag_->store(0, std::memory_order_release);
        else
            flag_->fetch_sub(1, std::memory_order_release);
        flag_ = nullptr;
    }

private:
    std::atomic<std::int64_t>* flag_ = nullptr;
    Borrow kind_ = Borrow::None;
};

}  // namespace arbolet::python
