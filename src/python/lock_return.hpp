// Taking the interpreter lock back after work done without it.
#pragma once

#include <chrono>
#include <thread>

#include "python/py.hpp"

namespace arbolet::python {

// A daemon thread that takes the lock back while the interpreter shuts down
// is ended by the interpreter (pthread_exit, a forced unwind). Unwinding our
// frames would run their clean-ups without the lock (releasing references),
// and a frame that may not throw turns it into std::terminate, an abort of
// the whole process. The thread is parked instead, as newer interpreters do
// themselves; the process exit then ends it.
inline void take_lock_back(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

// PyGILState_Ensure, parked the same way at shutdown.
inline PyGILState_STATE ensure_lock() noexcept {
    try {
        return PyGILState_Ensure();
    } catch (...) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
}

}  // namespace arbolet::python
