// The one place where engine failures become Python exceptions.
#pragma once

#include <string>
#include <string_view>

#include "common/engine_error.hpp"
#include "python/py.hpp"

namespace arbolet::python {

// The internal-failure exception class (derives from BaseException), created
// once per process.
PyObject* panic_exception_type();
// The error families users catch (arbolet.StateError, NotReadyError,
// IndexOutOfRangeError, DimensionError), each created once per process.
PyObject* state_error_type();
PyObject* not_ready_error_type();
PyObject* index_error_type();
PyObject* dimension_error_type();

// Each sets the Python error and returns nullptr.
PyObject* raise_engine_error(const EngineError& error);
PyObject* raise_panic(std::string_view message);
// Maps the C++ exception in flight (InternalFailure, bad_alloc, ...).
PyObject* raise_current_exception();

// The message of an EngineError as Python shows it.
std::string engine_error_message(const EngineError& error);

template <class T>
bool take(Result<T>& result) {
    if (result.ok()) return true;
    raise_engine_error(result.error());
    return false;
}

}  // namespace arbolet::python
