#include "python/batch.hpp"

#include <cstring>
#include <string_view>
#include <utility>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace arbolet::python {
namespace {

// Re-raises the error in flight as the same type with "row R: " in front of
// its message, keeping its cause. An exception type that cannot be built
// from one message is left as it was.
bool prefix_row(std::size_t row) {
    FetchedError original = FetchedError::fetch();
    original.normalize();
    PyObject* type = original.type.get();
    PyObject* value = original.value.get();
    Ref text(value != nullptr ? PyObject_Str(value) : nullptr);
    Ref message(text ? PyUnicode_FromFormat("row %zu: %U", row, text.get()) : nullptr);
    Ref error(message ? PyObject_CallFunctionObjArgs(type, message.get(), nullptr) : nullptr);
    if (!error || !PyExceptionInstance_Check(error.get())) {
        PyErr_Clear();
        original.restore();
        return false;
    }
    if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(error.get(), cause);
    PyErr_SetObject(type, error.get());
    return false;
}

std::string_view buffer_format(const Py_buffer& view) {
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
    return format;
}

// Reads a 2-D buffer whose element format `accept` takes (it returns a
// reader of one element, or null). Returns 1 when read, 0 when `o` is not
// such a buffer (nothing set).
template <class T, class Accept>
int rows_from_buffer(PyObject* o, Rows<T>& out, Accept&& accept) {
    if (!plain_buffer_type(o) || !PyObject_CheckBuffer(o)) return 0;
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return 0;
    }
    const auto read = accept(buffer_format(view), view.itemsize);
    int converted = 0;
    if (view.ndim == 2 && read != nullptr) {
        const auto n = static_cast<std::size_t>(view.shape[0]), width = static_cast<std::size_t>(view.shape[1]);
        const Py_ssize_t s0 = view.strides != nullptr ? view.strides[0] : view.shape[1] * view.itemsize;
        const Py_ssize_t s1 = view.strides != nullptr ? view.strides[1] : view.itemsize;
        out.values.resize(n * width);
        out.width = width;
        out.count = n;
        const char* base = static_cast<const char*>(view.buf);
        for (std::size_t r = 0; r < n && width > 0; ++r)
            read(base + static_cast<Py_ssize_t>(r) * s0, s1, width, out.values.data() + r * width);
        converted = 1;
    }
    PyBuffer_Release(&view);
    return converted;
}

template <class T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Converts the n elements of one row, `stride` bytes apart (one call per
// row keeps the element loop free of indirect calls).
template <class Source, class T>
void read_row(const char* p, Py_ssize_t stride, std::size_t n, T* out) {
    for (std::size_t c = 0; c < n; ++c, p += stride) out[c] = static_cast<T>(load<Source>(p));
}

using RealReader = void (*)(const char*, Py_ssize_t, std::size_t, float*);
RealReader real_reader(std::string_view format, Py_ssize_t size) {
    if (format == "d" && size == 8) return &read_row<double, float>;
    if (format == "f" && size == 4) return &read_row<float, float>;
    return nullptr;
}

// Signed integers of any width, and unsigned ones narrower than 64 bits
// (wider ones may not fit and take the general path, which says so).
using CodeReader = void (*)(const char*, Py_ssize_t, std::size_t, std::int64_t*);
CodeReader code_reader(std::string_view format, Py_ssize_t size) {
    if (format.size() != 1) return nullptr;
    const char f = format[0];
    const bool is_signed = f == 'b' || f == 'h' || f == 'i' || f == 'l' || f == 'q' || f == 'n';
    const bool is_unsigned = f == 'B' || f == 'H' || f == 'I' || f == 'L' || f == 'Q' || f == 'N';
    if (is_signed) switch (size) {
            case 1: return &read_row<std::int8_t, std::int64_t>;
            case 2: return &read_row<std::int16_t, std::int64_t>;
            case 4: return &read_row<std::int32_t, std::int64_t>;
            case 8: return &read_row<std::int64_t, std::int64_t>;
        }
    if (is_unsigned) switch (size) {
            case 1: return &read_row<std::uint8_t, std::int64_t>;
            case 2: return &read_row<std::uint16_t, std::int64_t>;
            case 4: return &read_row<std::uint32_t, std::int64_t>;
        }
    return nullptr;
}

// A data frame iterates over its column names, and other array-likes need not
// be sequences at all: anything that converts itself with to_numpy() or
// __array__() is read through the array it gives (a data frame's columns in
// their order). Returns a new reference to that array, or to `o` itself.
PyObject* as_array(PyObject* o) {
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o) && !PyObject_CheckBuffer(o)) {
        for (const char* method : {"to_numpy", "__array__"}) {
            Ref convert(PyObject_GetAttrString(o, method));
            if (convert) return PyObject_CallNoArgs(convert.get());
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
        }
    }
    return Py_NewRef(o);
}

// A 1-D batch where rows are expected: said plainly, with what to pass.
bool refuse_flat(PyObject* item, const char* name) {
    if (PySequence_Check(item) || !PyNumber_Check(item)) return false;
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a 2-D batch, one row per observation, got a 1-D sequence of numbers "
                 "(for one value per row pass values.reshape(-1, 1) or [[v] for v in values]; for a data frame, "
                 "its columns as df[[\"a\", \"b\"]])",
                 name);
    return true;
}

// Iterates the rows of `o` (already known to be a sequence), converting each
// with `convert(item, values)`.
template <class T, class Convert>
bool rows_from_sequence(PyObject* o, const char* name, Rows<T>& out, Convert&& convert) {
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    std::vector<T> row;
    for (std::size_t r = 0;; ++r) {
        Ref item(PyIter_Next(it.get()));
        if (!item) return !PyErr_Occurred();
        if (r == 0 && refuse_flat(item.get(), name)) return false;
        if (!convert(item.get(), row)) return prefix_row(r);
        out.values.insert(out.values.end(), row.begin(), row.end());
        out.starts.push_back(out.values.size());
    }
}

template <class T, class Accept, class Convert>
bool to_rows(PyObject* given, const char* name, Rows<T>& out, Accept&& accept, Convert&& convert) {
    out.values.clear();
    out.starts.assign(1, 0);
    out.width.reset();
    Ref array(as_array(given));
    if (!array) return false;
    PyObject* o = array.get();
    if (!to_sequence(o, name)) return false;
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o) && rows_from_buffer(o, out, accept) == 1) return true;
    return rows_from_sequence(o, name, out, convert);
}

}  // namespace

bool to_real_rows(PyObject* o, const char* name, const char* item, Rows<float>& out) {
    return to_rows(o, name, out, real_reader,
                   [item](PyObject* row, std::vector<float>& values) { return to_reals(row, item, values); });
}

bool to_code_rows(PyObject* o, const char* name, const char* item, Rows<std::int64_t>& out) {
    return to_rows(o, name, out, code_reader,
                   [item](PyObject* row, std::vector<std::int64_t>& values) { return to_codes(row, item, values); });
}

bool to_count_rows(PyObject* given, const char* name, const char* item, std::vector<std::uint64_t>& out) {
    out.clear();
    Ref array(as_array(given));
    if (!array) return false;
    PyObject* o = array.get();
    if (!to_sequence(o, name)) return false;
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    for (std::size_t r = 0;; ++r) {
        Ref element(PyIter_Next(it.get()));
        if (!element) return !PyErr_Occurred();
        std::uint64_t v = 0;
        if (!to_count(element.get(), item, v)) return prefix_row(r);
        out.push_back(v);
    }
}

bool to_real_column(PyObject* given, const char* name, const char* item, std::vector<double>& out) {
    out.clear();
    Ref array(as_array(given));
    if (!array) return false;
    PyObject* o = array.get();
    if (!to_sequence(o, name)) return false;
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    for (std::size_t r = 0;; ++r) {
        Ref element(PyIter_Next(it.get()));
        if (!element) return !PyErr_Occurred();
        double v = 0.0;
        if (!to_real(element.get(), item, v)) return prefix_row(r);
        out.push_back(v);
    }
}

PyObject* raise_row_error(std::size_t row, const EngineError& error) {
    raise_engine_error(error);
    prefix_row(row);
    return nullptr;
}

bool same_row_counts(std::initializer_list<std::size_t> counts, const char* names) {
    for (std::size_t n : counts)
        if (n != *counts.begin()) {
            PyErr_Format(PyExc_ValueError, "%s must have the same number of rows", names);
            return false;
        }
    return true;
}

PyObject* float_array(std::span<const double> values) {
    // NumPy's `empty`, or None once its import failed; looked up once.
    static PyObject* numpy_empty = nullptr;
    if (numpy_empty == nullptr) {
        Ref numpy(PyImport_ImportModule("numpy"));
        numpy_empty = numpy ? PyObject_GetAttrString(numpy.get(), "empty") : nullptr;
        if (numpy_empty == nullptr) {
            PyErr_Clear();
            numpy_empty = Py_NewRef(Py_None);
        }
    }
    const std::size_t bytes = values.size() * sizeof(double);
    if (numpy_empty != Py_None) {
        Ref array(PyObject_CallFunction(numpy_empty, "ns", static_cast<Py_ssize_t>(values.size()), "float64"));
        if (!array) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(array.get(), &view, PyBUF_CONTIG) != 0) return nullptr;
        if (bytes != 0) std::memcpy(view.buf, values.data(), bytes);
        PyBuffer_Release(&view);
        return Py_NewRef(array.get());
    }
    Ref module(PyImport_ImportModule("array"));
    if (!module) return nullptr;
    return PyObject_CallMethod(module.get(), "array", "sy#", "d", reinterpret_cast<const char*>(values.data()),
                               static_cast<Py_ssize_t>(bytes));
}

PyObject* finish_rows(std::ptrdiff_t done, const std::optional<EngineError>& failed, bool results,
                      std::span<const double> out) {
    if (done < 0) return nullptr;
    if (failed) return raise_row_error(static_cast<std::size_t>(done), *failed);
    if (results) return float_array(out);
    Py_RETURN_NONE;
}

bool to_observation_rows(PyObject* o, const char* name, const char* item, bool single_value, Rows<float>& out) {
    if (single_value) {
        std::vector<float> flat;
        if (to_reals(o, name, flat)) {
            out.count = flat.size();
            out.width = 1;
            out.values = std::move(flat);
            return true;
        }
        PyErr_Clear();
    }
    return to_real_rows(o, name, item, out);
}

}  // namespace arbolet::python
