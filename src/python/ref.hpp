// One owning reference to a Python object: released when it goes out of
// scope, so that no path through a binding function can forget a decref or
// do one twice.
#pragma once

#include <utility>

#include "python/py.hpp"

namespace arbolet::python {

class Ref {
public:
    // Takes over a new reference (or nullptr, which the caller then checks).
    explicit Ref(PyObject* owned = nullptr) : p(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p, other.release()));
        return *this;
    }
    ~Ref() { Py_XDECREF(p); }

    // A second reference to a borrowed object.
    static Ref borrowed(PyObject* o) { return Ref(Py_XNewRef(o)); }

    PyObject* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
    // Hands the reference to the caller (a return value, a stealing call).
    [[nodiscard]] PyObject* release() { return std::exchange(p, nullptr); }

    PyObject* p;
};

// The pending exception, taken out of the interpreter and owned until
// restored (or dropped).
struct FetchedError {
    Ref type, value, traceback;

    static FetchedError fetch() {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        return {Ref(t), Ref(v), Ref(tb)};
    }
    void normalize() {
        PyObject *t = type.release(), *v = value.release(), *tb = traceback.release();
        PyErr_NormalizeException(&t, &v, &tb);
        type = Ref(t);
        value = Ref(v);
        traceback = Ref(tb);
    }
    void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

}  // namespace arbolet::python
