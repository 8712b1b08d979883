// Engine work without the interpreter lock. Everything the engine reads must
// already be converted into engine values; nothing in the scope may touch a
// Python object. The lock is taken back when the scope ends, exceptions
// included, so the error mapping runs with it held.
#pragma once

#include <utility>

#include "python/py.hpp"

namespace arbolet::python {

class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

template <class F>
decltype(auto) unlocked(F&& work) {
    Unlocked scope;
    return std::forward<F>(work)();
}

}  // namespace arbolet::python
