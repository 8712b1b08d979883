#include "python/errors.hpp"

#include <cstdint>
#include <new>
#include <stdexcept>

#include "common/debug_text.hpp"
#include "common/internal_failure.hpp"
#include "common/memory_budget.hpp"
#include "python/ref.hpp"

namespace arbolet::python {

PyObject* panic_exception_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "arbolet.PanicException",
        "Raised when an internal invariant of a detector is broken (a state that ordinary input cannot reach,\n"
        "such as an inconsistent loaded document). Derives from BaseException so that `except Exception`\n"
        "does not swallow it.",
        PyExc_BaseException, nullptr);
    return type;
}

namespace {

PyObject* error_family(const char* name, const char* doc, PyObject* builtin) {
    return PyErr_NewExceptionWithDoc(name, doc, builtin, nullptr);
}

}  // namespace

// Each family subclasses the built-in exception that its errors raised before
// it existed, so that every `except` written then still catches them.
PyObject* state_error_type() {
    static PyObject* type = error_family(
        "arbolet.StateError",
        "A saved state that cannot be read (a damaged or foreign document, file or archive), or a state file\n"
        "that cannot be read or written. A RuntimeError.",
        PyExc_RuntimeError);
    return type;
}

PyObject* not_ready_error_type() {
    static PyObject* type = error_family(
        "arbolet.NotReadyError",
        "A query that the detector cannot answer yet: it holds no points (messages NotReady, EmptyTree).\n"
        "A RuntimeError.",
        PyExc_RuntimeError);
    return type;
}

PyObject* index_error_type() {
    static PyObject* type = error_family(
        "arbolet.IndexOutOfRangeError",
        "An index beyond the point or observation it refers to (message IndexOutOfBounds(i)). A RuntimeError.",
        PyExc_RuntimeError);
    return type;
}

PyObject* dimension_error_type() {
    static PyObject* type = error_family(
        "arbolet.DimensionError",
        "A point or observation of the wrong length (message dimension mismatch: ...). A ValueError.",
        PyExc_ValueError);
    return type;
}

std::string engine_error_message(const EngineError& e) {
    using K = EngineError::Kind;
    switch (e.kind) {
        case K::InvalidArgument: return e.text;
        case K::DimensionMismatch:
            return "dimension mismatch: expected " + std::to_string(e.expected) + ", got " + std::to_string(e.got);
        case K::NotReady: return "NotReady";
        case K::IndexOutOfBounds: return "IndexOutOfBounds(" + std::to_string(e.index) + ")";
        case K::EmptyTree: return "EmptyTree";
        case K::Io: return "Io(" + debug_quote(e.text) + ")";
        case K::Interrupted: return "interrupted";
    }
    return "unknown error";
}

PyObject* raise_engine_error(const EngineError& e) {
    if (e.kind == EngineError::Kind::Interrupted) {
        // The signal handler's own exception (KeyboardInterrupt, ...) stands.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    using K = EngineError::Kind;
    PyObject* type = PyExc_ValueError;  // K::InvalidArgument
    switch (e.kind) {
        case K::InvalidArgument: break;
        case K::DimensionMismatch: type = dimension_error_type(); break;
        case K::NotReady:
        case K::EmptyTree: type = not_ready_error_type(); break;
        case K::IndexOutOfBounds: type = index_error_type(); break;
        case K::Io: type = state_error_type(); break;
        case K::Interrupted: break;  // handled above
    }
    if (type == nullptr) return nullptr;
    const std::string message = engine_error_message(e);
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise_current_exception() {
    try {
        throw;
    } catch (const InternalFailure& f) {
        return raise_panic(f.message());
    } catch (const MemoryShortfall& shortfall) {
        PyErr_SetString(PyExc_MemoryError, shortfall.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown internal failure");
    }
}

}  // namespace arbolet::python
