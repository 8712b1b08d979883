// The conversion table: Python arguments to engine values, engine results to
// Python objects. Every converter takes the parameter's name and, on failure,
// leaves a Python error set (a TypeError re-raised with the prefix
// "argument 'NAME': ") and returns false.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/py.hpp"

namespace arbolet::python {

bool to_count(PyObject* o, const char* name, std::uint64_t& out);
bool to_real(PyObject* o, const char* name, double& out);
bool to_flag(PyObject* o, const char* name, bool& out);
bool to_optional_seed(PyObject* o, const char* name, std::optional<std::uint64_t>& out);
// The lengths a point argument accepts, for the message that refuses a
// table: `length`, or also `or_length` when that is not 0. 0 says nothing.
struct PointLengths {
    std::uint64_t length = 0;
    std::uint64_t or_length = 0;
};
// One point. Something with two or more dimensions (`ndim` >= 2: a 2-D
// array, a table) is refused before conversion.
bool to_reals(PyObject* o, const char* name, std::vector<float>& out, PointLengths accepted = {});
// The front of every vector conversion: `str` refused, then the sequence check.
bool to_sequence(PyObject* o, const char* name);
// NumPy arrays, array.array and memoryview (exact types), whose buffer holds
// exactly what their iteration yields.
bool plain_buffer_type(PyObject* o);
bool to_indices(PyObject* o, const char* name, std::vector<std::uint64_t>& out);
// One record's category codes; refuses a table as to_reals does.
bool to_codes(PyObject* o, const char* name, std::vector<std::int64_t>& out, PointLengths accepted = {});
// A str (as UTF-8) or bytes (bytes, bytearray or a sequence of 0..255).
bool to_json_text(PyObject* o, const char* name, std::string& out);
// Any object with the buffer protocol (bytes, bytearray, memoryview, ...).
bool to_byte_string(PyObject* o, const char* name, std::string& out);
// str, bytes or os.PathLike, encoded with the file-system encoding.
bool to_path(PyObject* o, const char* name, std::string& out);

PyObject* float_list(const double* values, std::size_t n);
PyObject* float_list(const float* values, std::size_t n);

// Interned dict keys, created once.
PyObject* key(const char* text);

}  // namespace arbolet::python
