// The conversion table: Python arguments to engine values, engine results to
// Python objects. Every converter takes the parameter's name and, on failure,
// leaves a Python error set (a TypeError re-raised with the prefix
// "argument 'NAME': ") and returns false.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/batch.hpp"
#include "python/py.hpp"

namespace arbolet::monitor {
enum class Direction : std::uint8_t;
}

namespace arbolet::python {

bool to_count(PyObject* o, const char* name, std::uint64_t& out);
bool to_real(PyObject* o, const char* name, double& out);
bool to_flag(PyObject* o, const char* name, bool& out);
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

// Argument types: what a handler's arguments struct (declare.hpp) holds, each
// read by its from_python overload below under the parameter's name. `self`
// is the instance (null for constructors and class methods), for the lengths
// that messages quote.

using LengthsOf = PointLengths (*)(PyObject* self);

// One point of reals or of category codes; `Accepted` gives the lengths that
// the message refusing a table quotes.
template <LengthsOf Accepted = nullptr>
struct Reals {
    std::vector<float> values;
};
template <LengthsOf Accepted = nullptr>
struct Codes {
    std::vector<std::int64_t> values;
};
// One observation: also a single number where the instance takes one value.
template <LengthsOf Accepted>
struct Observation {
    std::vector<float> values;
};
struct Indices {
    std::vector<std::uint64_t> values;
};
struct JsonText {
    std::string text;
};
struct FilePath {
    std::string path;
};
struct ByteString {
    std::string data;
};
// Any object, borrowed as given.
struct Object {
    PyObject* object = nullptr;
};
// An instance of the class that `Type()` gives, else the TypeError
// "argument 'NAME': expected <Expected>".
template <PyTypeObject* (*Type)(), const char* Expected>
struct InstanceOf {
    PyObject* object = nullptr;
};
// Batches: each row or item read as the single call's parameter `Item` is.
template <const char* Item>
struct RealRows {
    Rows<float> rows;
};
template <const char* Item>
struct CodeRows {
    Rows<std::int64_t> rows;
};
template <const char* Item>
struct CountColumn {
    std::vector<std::uint64_t> values;
};
template <const char* Item>
struct RealColumn {
    std::vector<double> values;
};
// Rows, or a flat sequence of numbers where the instance takes one value.
template <LengthsOf Accepted, const char* Item>
struct ObservationRows {
    Rows<float> rows;
};

bool to_direction(PyObject* o, monitor::Direction& out);
bool to_observation(PyObject* o, const char* name, std::vector<float>& out, PointLengths accepted);

inline bool from_python(PyObject* o, const char* name, std::uint64_t& out, PyObject*) { return to_count(o, name, out); }
inline bool from_python(PyObject* o, const char* name, double& out, PyObject*) { return to_real(o, name, out); }
inline bool from_python(PyObject* o, const char* name, bool& out, PyObject*) { return to_flag(o, name, out); }
inline bool from_python(PyObject* o, const char*, monitor::Direction& out, PyObject*) { return to_direction(o, out); }
inline bool from_python(PyObject* o, const char* name, Indices& out, PyObject*) {
    return to_indices(o, name, out.values);
}
inline bool from_python(PyObject* o, const char* name, JsonText& out, PyObject*) {
    return to_json_text(o, name, out.text);
}
inline bool from_python(PyObject* o, const char* name, FilePath& out, PyObject*) { return to_path(o, name, out.path); }
inline bool from_python(PyObject* o, const char* name, ByteString& out, PyObject*) {
    return to_byte_string(o, name, out.data);
}
inline bool from_python(PyObject* o, const char*, Object& out, PyObject*) {
    out.object = o;
    return true;
}

template <LengthsOf Accepted>
PointLengths lengths_for(PyObject* self) {
    if constexpr (Accepted == nullptr) return {};
    else return Accepted(self);
}

template <LengthsOf Accepted>
bool from_python(PyObject* o, const char* name, Reals<Accepted>& out, PyObject* self) {
    return to_reals(o, name, out.values, lengths_for<Accepted>(self));
}
template <LengthsOf Accepted>
bool from_python(PyObject* o, const char* name, Codes<Accepted>& out, PyObject* self) {
    return to_codes(o, name, out.values, lengths_for<Accepted>(self));
}
template <LengthsOf Accepted>
bool from_python(PyObject* o, const char* name, Observation<Accepted>& out, PyObject* self) {
    return to_observation(o, name, out.values, Accepted(self));
}
template <PyTypeObject* (*Type)(), const char* Expected>
bool from_python(PyObject* o, const char* name, InstanceOf<Type, Expected>& out, PyObject*) {
    PyTypeObject* type = Type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(o, type)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected %s", name, Expected);
        return false;
    }
    out.object = o;
    return true;
}
template <const char* Item>
bool from_python(PyObject* o, const char* name, RealRows<Item>& out, PyObject*) {
    return to_real_rows(o, name, Item, out.rows);
}
template <const char* Item>
bool from_python(PyObject* o, const char* name, CodeRows<Item>& out, PyObject*) {
    return to_code_rows(o, name, Item, out.rows);
}
template <const char* Item>
bool from_python(PyObject* o, const char* name, CountColumn<Item>& out, PyObject*) {
    return to_count_rows(o, name, Item, out.values);
}
template <const char* Item>
bool from_python(PyObject* o, const char* name, RealColumn<Item>& out, PyObject*) {
    return to_real_column(o, name, Item, out.values);
}
template <LengthsOf Accepted, const char* Item>
bool from_python(PyObject* o, const char* name, ObservationRows<Accepted, Item>& out, PyObject* self) {
    return to_observation_rows(o, name, Item, Accepted(self).length == 1, out.rows);
}
// None leaves the value out; anything else converts as T does.
template <class T>
bool from_python(PyObject* o, const char* name, std::optional<T>& out, PyObject* self) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    return from_python(o, name, out.emplace(), self);
}

}  // namespace arbolet::python
