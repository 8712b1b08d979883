// Python's signal handlers during long calls: blocking file I/O without the
// interpreter lock, with the handlers run whenever a system call is
// interrupted, and the stop check of long engine loops.
#pragma once

#include <utility>

#include "common/interruption.hpp"
#include "persist/file_io.hpp"
#include "python/lock_return.hpp"
#include "python/py.hpp"

namespace arbolet::python {

// Runs `io(check)` with the interpreter lock released. When a system call is
// interrupted, `check` takes the lock back and runs the signal handlers:
// the call is retried unless a handler raised (KeyboardInterrupt, say),
// whose exception is then left set for the caller.
template <class IO>
auto without_interpreter_lock(IO&& io) {
    struct Released {
        PyThreadState* state = PyEval_SaveThread();
        ~Released() { take_lock_back(state); }
    } released;
    const persist::InterruptCheck check = [&released] {
        take_lock_back(released.state);
        const bool retry = PyErr_CheckSignals() == 0;
        released.state = PyEval_SaveThread();
        return retry;
    };
    return std::forward<IO>(io)(check);
}

// The stop check of long engine loops (common/interruption.hpp): runs the
// signal handlers, taking the interpreter lock if this thread released it,
// and stops the call when one raised, leaving its exception set.
inline bool python_signal_raised() {
    const PyGILState_STATE state = ensure_lock();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return raised;
}

}  // namespace arbolet::python
