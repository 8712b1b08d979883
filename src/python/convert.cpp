#include "python/convert.hpp"

#include <cstring>
#include <string_view>
#include <unordered_map>

#include "monitor/monitor.hpp"
#include "persist/monitor_document.hpp"
#include "python/ref.hpp"

namespace arbolet::python {
namespace {

// A TypeError from converting a named parameter becomes
// "argument 'NAME': <message>", keeping the original's cause; other
// exception types pass through unchanged.
bool prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    FetchedError original = FetchedError::fetch();
    if (original.type.get() != PyExc_TypeError) {
        original.restore();
        return false;
    }
    original.normalize();
    PyObject* value = original.value.get();
    Ref text(value != nullptr ? PyObject_Str(value) : PyUnicode_FromString(""));
    Ref cause(value != nullptr ? PyException_GetCause(value) : nullptr);
    if (!text) return false;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return false;
    Ref error(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!error) return false;
    if (cause) PyException_SetCause(error.get(), Py_NewRef(cause.get()));
    PyErr_SetObject(PyExc_TypeError, error.get());
    return false;
}

bool fail_arg(const char* name) { return prefix_argument_error(name); }

std::string type_qualname(PyObject* o) {
    Ref q(PyType_GetQualName(Py_TYPE(o)));
    if (!q) {
        PyErr_Clear();
        return "?";
    }
    const char* s = PyUnicode_AsUTF8AndSize(q.get(), nullptr);
    return s != nullptr ? s : "?";
}

// Shared front of the three vector conversions: str refused, then the
// sequence check.
bool check_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        if (o == Py_None)
            PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'Sequence'");
        else
            PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'Sequence'", type_qualname(o).c_str());
        return false;
    }
    return true;
}

// What to reserve for a sequence's elements: its len(), which a sequence
// may get wrong (or lie about), so only up to a bound that costs little when
// the elements never come; longer sequences grow as they are read.
std::size_t reserve_hint(PyObject* o) {
    constexpr Py_ssize_t kMostReserved = 1 << 16;
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(n < kMostReserved ? n : kMostReserved);
}

// Iterates `o`, calling `each(item)` (which returns false with an error set).
// Exact lists and tuples are read by index, re-checking the length at every
// step as list iteration does (an element's conversion may mutate the list):
// the same elements as iteration, without an iterator.
template <class F>
bool for_each_item(PyObject* o, F&& each) {
    const bool is_list = PyList_CheckExact(o);
    if (is_list || PyTuple_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < (is_list ? PyList_Size(o) : PyTuple_Size(o)); ++i) {
            Ref item(Py_NewRef(is_list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i)));
            if (!each(item.get())) return false;
        }
        return true;
    }
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    for (;;) {
        Ref item(PyIter_Next(it.get()));
        if (!item) return !PyErr_Occurred();
        if (!each(item.get())) return false;
    }
}

bool type_is(PyObject* o, const char* module, const char* name) {
    Ref type_name(PyType_GetName(Py_TYPE(o)));
    if (!type_name) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(type_name.get(), name) != 0) return false;
    Ref mod(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__module__"));
    if (!mod || !PyUnicode_Check(mod.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(mod.get(), module) == 0;
}

// Exact array types whose iteration yields Python floats of exactly the
// buffer's values; subclasses (masked arrays, ...) iterate differently and
// take the general path. Types found to qualify are remembered, so the name
// lookup runs once per type.
bool known_buffer_type(PyObject* o) {
    static PyTypeObject* known[4] = {};
    PyTypeObject* type = Py_TYPE(o);
    for (PyTypeObject* k : known)
        if (k == type) return true;
    if (PyMemoryView_Check(o)) return true;
    if (!type_is(o, "numpy", "ndarray") && !type_is(o, "array", "array")) return false;
    for (PyTypeObject*& k : known)
        if (k == nullptr) {
            Py_INCREF(reinterpret_cast<PyObject*>(type));
            k = type;
            break;
        }
    return true;
}

// The fast path for one-dimensional float64/float32 buffers. Returns 1 when it
// converted, 0 when the object is not such a buffer (no error set).
int reals_from_buffer(PyObject* o, std::vector<float>& out) {
    if (!known_buffer_type(o) || !PyObject_CheckBuffer(o)) return 0;
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return 0;
    }
    int converted = 0;
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
    const bool is_double = format == "d" && view.itemsize == 8;
    const bool is_float = format == "f" && view.itemsize == 4;
    if (view.ndim == 1 && (is_double || is_float)) {
        const Py_ssize_t n = view.shape[0];
        const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
        out.resize(static_cast<std::size_t>(n));
        const char* base = static_cast<const char*>(view.buf);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const char* p = base + i * stride;
            if (is_double) {
                double d;
                std::memcpy(&d, p, sizeof d);
                out[static_cast<std::size_t>(i)] = static_cast<float>(d);
            } else {
                std::memcpy(&out[static_cast<std::size_t>(i)], p, sizeof(float));
            }
        }
        converted = 1;
    }
    PyBuffer_Release(&view);
    return converted;
}

bool u64_of(PyObject* o, std::uint64_t& out) {
    if (PyLong_CheckExact(o)) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
    Ref index(PyNumber_Index(o));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool i64_of(PyObject* o, std::int64_t& out) {
    if (PyLong_CheckExact(o)) {
        const long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
    Ref index(PyNumber_Index(o));
    if (!index) return false;
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool u8_of(PyObject* o, unsigned char& out) {
    Ref index(PyNumber_Index(o));
    if (!index) return false;
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<unsigned char>(v);
    return true;
}

// "TypeError: message" of the error in flight, which is cleared.
std::string describe_and_clear() {
    FetchedError error = FetchedError::fetch();
    error.normalize();
    PyObject* type = error.type.get();
    PyObject* value = error.value.get();
    std::string out;
    if (type != nullptr) {
        Ref name(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
        const char* s = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
        out = s != nullptr ? s : "Exception";
    }
    if (value != nullptr) {
        Ref text(PyObject_Str(value));
        const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        if (s != nullptr) out += std::string(": ") + s;
    }
    PyErr_Clear();
    return out;
}

bool bytes_of(PyObject* o, std::string& out) {
    if (PyBytes_Check(o)) {
        char* data;
        Py_ssize_t n;
        if (PyBytes_AsStringAndSize(o, &data, &n) != 0) return false;
        out.assign(data, static_cast<std::size_t>(n));
        return true;
    }
    if (PyByteArray_Check(o)) {
        out.assign(PyByteArray_AsString(o), static_cast<std::size_t>(PyByteArray_Size(o)));
        return true;
    }
    if (!check_sequence(o)) return false;
    out.clear();
    out.reserve(reserve_hint(o));
    return for_each_item(o, [&](PyObject* item) {
        unsigned char byte;
        if (!u8_of(item, byte)) return false;
        out.push_back(static_cast<char>(byte));
        return true;
    });
}

}  // namespace

bool to_sequence(PyObject* o, const char* name) { return check_sequence(o) || fail_arg(name); }

bool plain_buffer_type(PyObject* o) { return known_buffer_type(o); }

bool to_count(PyObject* o, const char* name, std::uint64_t& out) { return u64_of(o, out) || fail_arg(name); }

bool to_real(PyObject* o, const char* name, double& out) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return fail_arg(name);
    out = v;
    return true;
}

bool to_flag(PyObject* o, const char* name, bool& out) {
    if (PyBool_Check(o)) {
        out = o == Py_True;
        return true;
    }
    if (type_is(o, "numpy", "bool_") || type_is(o, "numpy", "bool")) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) return fail_arg(name);
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'bool'", type_qualname(o).c_str());
    return fail_arg(name);
}

// "3 numbers", "3 or 12 numbers", "1 number" or "numbers", for the
// messages below.
std::string lengths_text(PointLengths accepted) {
    std::string count;
    if (accepted.length != 0) count = std::to_string(accepted.length) + " ";
    if (accepted.or_length != 0) count += "or " + std::to_string(accepted.or_length) + " ";
    return count + (accepted.length == 1 && accepted.or_length == 0 ? "number" : "numbers");
}

// Refuses an object that says it has two or more dimensions (a 2-D array, a
// table) where one point is expected: iterating it would yield rows, or a
// table's column labels, instead of numbers. Lists and tuples have no shape.
bool refuse_many_dimensions(PyObject* o, PointLengths accepted) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o) || PyUnicode_Check(o)) return true;
    Ref ndim(PyObject_GetAttrString(o, "ndim"));
    if (!ndim) {
        // No `ndim` is the common case; any other failure (an interrupt in
        // a property, say) is the caller's to see.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!PyLong_Check(ndim.p)) return true;
    const long dims = PyLong_AsLong(ndim.p);
    if (dims < 2) {
        PyErr_Clear();
        return true;
    }
    Ref shape(PyObject_GetAttrString(o, "shape"));
    Ref shape_text(shape ? PyObject_Str(shape.p) : nullptr);
    const char* shape_s = shape_text ? PyUnicode_AsUTF8AndSize(shape_text.p, nullptr) : nullptr;
    PyErr_Clear();
    // Whatever `shape` says, the message stays short.
    const std::string shown = shape_s != nullptr && std::strlen(shape_s) <= 80 ? shape_s : "?";
    PyErr_Format(PyExc_TypeError, "one point is a 1-D sequence of %s, but a %ld-D %s of shape %s was given",
                 lengths_text(accepted).c_str(), dims, type_qualname(o).c_str(), shown.c_str());
    return false;
}

// The same refusal for a sequence of sequences (a list of rows), found when
// an item fails to convert to a number.
void refuse_nested(PyObject* o, Py_ssize_t index, PyObject* item, PointLengths accepted) {
    if (PyUnicode_Check(item) || PyBytes_Check(item) || !PySequence_Check(item)) return;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "one point is a 1-D sequence of %s, but item %zd of the %s is a %s",
                 lengths_text(accepted).c_str(), index, type_qualname(o).c_str(), type_qualname(item).c_str());
}

bool to_reals(PyObject* o, const char* name, std::vector<float>& out, PointLengths accepted) {
    out.clear();
    // A one-dimensional float buffer needs none of the checks below.
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o) && reals_from_buffer(o, out) == 1) return true;
    if (!refuse_many_dimensions(o, accepted) || !check_sequence(o)) return fail_arg(name);
    out.reserve(reserve_hint(o));
    const bool ok = for_each_item(o, [&](PyObject* item) {
        const double v = PyFloat_AsDouble(item);
        if (v == -1.0 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_TypeError))
                refuse_nested(o, static_cast<Py_ssize_t>(out.size()), item, accepted);
            return false;
        }
        out.push_back(static_cast<float>(v));
        return true;
    });
    return ok || fail_arg(name);
}

// Vectors of integers: each element converted as `convert` says.
template <class T>
bool to_integers(PyObject* o, const char* name, std::vector<T>& out, bool (*convert)(PyObject*, T&)) {
    if (!check_sequence(o)) return fail_arg(name);
    out.clear();
    out.reserve(reserve_hint(o));
    const bool ok = for_each_item(o, [&](PyObject* item) {
        T v;
        if (!convert(item, v)) return false;
        out.push_back(v);
        return true;
    });
    return ok || fail_arg(name);
}

bool to_indices(PyObject* o, const char* name, std::vector<std::uint64_t>& out) {
    return to_integers(o, name, out, &u64_of);
}

bool to_codes(PyObject* o, const char* name, std::vector<std::int64_t>& out, PointLengths accepted) {
    if (!refuse_many_dimensions(o, accepted)) return fail_arg(name);
    return to_integers(o, name, out, &i64_of);
}

bool to_json_text(PyObject* o, const char* name, std::string& out) {
    std::string str_error;
    if (PyUnicode_Check(o)) {
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (s != nullptr) {
            out.assign(s, static_cast<std::size_t>(n));
            return true;
        }
        str_error = describe_and_clear();
    } else {
        str_error = "TypeError: '" + type_qualname(o) + "' object is not an instance of 'str'";
    }
    if (bytes_of(o, out)) return true;
    const std::string bytes_error = describe_and_clear();
    const std::string message = "failed to extract enum StrOrBytes ('Str | Bytes')\n- variant Str (Str): " + str_error +
                                "\n- variant Bytes (Bytes): " + bytes_error;
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return fail_arg(name);
}

bool to_byte_string(PyObject* o, const char* name, std::string& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) != 0) return fail_arg(name);
    try {
        out.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return true;
}

bool to_path(PyObject* o, const char* name, std::string& out) {
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(o, &encoded) == 0) return fail_arg(name);
    Ref bytes(encoded);
    char* data;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &n) != 0) return fail_arg(name);
    out.assign(data, static_cast<std::size_t>(n));
    return true;
}

PyObject* float_list(const double* values, std::size_t n) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (f == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

PyObject* float_list(const float* values, std::size_t n) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* f = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (f == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

PyObject* key(const char* text) {
    // Keys are string literals, so their addresses identify them.
    static std::unordered_map<const char*, PyObject*> cache;
    auto it = cache.find(text);
    if (it != cache.end()) return it->second;
    PyObject* interned = PyUnicode_InternFromString(text);
    if (interned != nullptr) cache.emplace(text, interned);
    return interned;
}

bool to_direction(PyObject* o, monitor::Direction& out) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(o, &n);
        if (text == nullptr) return false;
        if (persist::direction_from_name(std::string_view(text, static_cast<std::size_t>(n)), out)) return true;
    }
    PyErr_SetString(PyExc_ValueError, "direction must be 'both', 'up' or 'down'");
    return false;
}

bool to_observation(PyObject* o, const char* name, std::vector<float>& out, PointLengths accepted) {
    if (accepted.length == 1 && accepted.or_length == 0 && (PyFloat_Check(o) || PyLong_Check(o))) {
        const double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) return false;
        out.assign(1, static_cast<float>(v));
        return true;
    }
    return to_reals(o, name, out, accepted);
}

}  // namespace arbolet::python
