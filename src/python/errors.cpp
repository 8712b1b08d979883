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
    const bool value_error =
        e.kind == EngineError::Kind::InvalidArgument || e.kind == EngineError::Kind::DimensionMismatch;
    const std::string message = engine_error_message(e);
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(value_error ? PyExc_ValueError : PyExc_RuntimeError, text.get());
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
