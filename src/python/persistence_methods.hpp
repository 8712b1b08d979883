// Persistence, copy and pickle methods, shared by every class.
#pragma once

#include <array>
#include <string>
#include <tuple>
#include <string_view>
#include <utility>

#include "persist/documents.hpp"
#include "persist/file_io.hpp"
#include "persist/monitor_document.hpp"
#include "persist/thresholder_document.hpp"
#include "python/blocking_io.hpp"
#include "python/class_spec.hpp"
#include "python/convert.hpp"
#include "python/declare.hpp"
#include "python/unlocked.hpp"

namespace arbolet::python {

inline std::string document_of(const rcf::Forest& f) { return persist::forest_to_json(f); }
inline std::string document_of(const mstream::MStream& m) { return persist::mstream_to_json(m); }
inline std::string document_of(const threshold::Thresholder& t) { return persist::thresholder_to_json(t); }
inline std::string document_of(const monitor::Monitor& m) { return persist::monitor_to_json(m); }

template <class Engine>
Result<Engine> read_document(std::string_view text);
template <>
inline Result<rcf::Forest> read_document<rcf::Forest>(std::string_view text) { return persist::forest_from_json(text); }
template <>
inline Result<mstream::MStream> read_document<mstream::MStream>(std::string_view text) {
    return persist::mstream_from_json(text);
}
template <>
inline Result<threshold::Thresholder> read_document<threshold::Thresholder>(std::string_view text) {
    return persist::thresholder_from_json(text);
}
template <>
inline Result<monitor::Monitor> read_document<monitor::Monitor>(std::string_view text) {
    return persist::monitor_from_json(text);
}

inline std::string bytes_state_of(const rcf::Forest& f) { return persist::forest_to_bytes(f); }
inline std::string bytes_state_of(const mstream::MStream& m) { return persist::mstream_to_bytes(m); }
inline std::string bytes_state_of(const threshold::Thresholder& t) { return persist::thresholder_to_bytes(t); }
inline std::string bytes_state_of(const monitor::Monitor& m) { return persist::monitor_to_bytes(m); }

template <class Engine>
Result<Engine> read_bytes_state(std::string_view data);
template <>
inline Result<rcf::Forest> read_bytes_state<rcf::Forest>(std::string_view data) {
    return persist::forest_from_bytes(data);
}
template <>
inline Result<mstream::MStream> read_bytes_state<mstream::MStream>(std::string_view data) {
    return persist::mstream_from_bytes(data);
}
template <>
inline Result<threshold::Thresholder> read_bytes_state<threshold::Thresholder>(std::string_view data) {
    return persist::thresholder_from_bytes(data);
}
template <>
inline Result<monitor::Monitor> read_bytes_state<monitor::Monitor>(std::string_view data) {
    return persist::monitor_from_bytes(data);
}

inline PyObject* str_of(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// "Name(arguments)", with the name of the instance's own class, so that a
// subclass shows as itself.
inline PyObject* repr_of(PyObject* self, const std::string& arguments) {
    Ref name(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("%U(%s)", name.get(), arguments.c_str());
}

template <class Engine>
PyObject* to_json(PyTypeObject*, PyObject* self, const NoArgs&) {
    const Engine& e = engine_of<Engine>(self);
    return str_of(unlocked([&] { return document_of(e); }));
}

template <class Engine>
PyObject* decode_into_new(PyTypeObject* cls, std::string_view text) {
    Result<Engine> decoded = unlocked([&] { return read_document<Engine>(text); });
    if (!take(decoded)) return nullptr;
    return wrap(cls, std::move(decoded).value());
}

struct FromJsonArgs {
    JsonText json;
    static constexpr auto params() { return std::tuple{param("json", &FromJsonArgs::json, "_JsonText")}; }
};

template <class Engine>
PyObject* from_json(PyTypeObject* cls, PyObject*, const FromJsonArgs& a) {
    return decode_into_new<Engine>(cls, a.json.text);
}

struct PathArgs {
    FilePath path;
    static constexpr auto params() { return std::tuple{param("path", &PathArgs::path, "_Path")}; }
};

template <class Engine>
PyObject* save_json(PyTypeObject*, PyObject* self, const PathArgs& a) {
    const std::string& path = a.path.path;
    const Engine& e = engine_of<Engine>(self);
    const std::string document = unlocked([&] { return document_of(e); });
    Status written = without_interpreter_lock(
        [&](const persist::InterruptCheck& check) { return persist::write_file(path, document, check); });
    if (PyErr_Occurred() || !take(written)) return nullptr;
    Py_RETURN_NONE;
}

template <class Engine>
PyObject* load_json(PyTypeObject* cls, PyObject*, const PathArgs& a) {
    const std::string& path = a.path.path;
    Result<std::string> contents = without_interpreter_lock(
        [&](const persist::InterruptCheck& check) { return persist::read_file(path, check); });
    if (PyErr_Occurred() || !take(contents)) return nullptr;
    return decode_into_new<Engine>(cls, contents.value());
}

// The compact binary form: to_bytes / from_bytes and the files save / load.
// The loaders are class methods, so a subclass loads as itself.
template <class Engine>
PyObject* to_bytes(PyTypeObject*, PyObject* self, const NoArgs&) {
    const Engine& e = engine_of<Engine>(self);
    const std::string data = unlocked([&] { return bytes_state_of(e); });
    return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

template <class Engine>
PyObject* decode_bytes_into_new(PyTypeObject* cls, std::string_view data) {
    Result<Engine> decoded = unlocked([&] { return read_bytes_state<Engine>(data); });
    if (!take(decoded)) return nullptr;
    return wrap(cls, std::move(decoded).value());
}

struct FromBytesArgs {
    ByteString data;
    static constexpr auto params() { return std::tuple{param("data", &FromBytesArgs::data, "_Binary")}; }
};

template <class Engine>
PyObject* from_bytes(PyTypeObject* cls, PyObject*, const FromBytesArgs& a) {
    return decode_bytes_into_new<Engine>(cls, a.data.data);
}

template <class Engine>
PyObject* save(PyTypeObject*, PyObject* self, const PathArgs& a) {
    const std::string& path = a.path.path;
    const Engine& e = engine_of<Engine>(self);
    const std::string data = unlocked([&] { return bytes_state_of(e); });
    Status written = without_interpreter_lock(
        [&](const persist::InterruptCheck& check) { return persist::write_file(path, data, check); });
    if (PyErr_Occurred() || !take(written)) return nullptr;
    Py_RETURN_NONE;
}

template <class Engine>
PyObject* load(PyTypeObject* cls, PyObject*, const PathArgs& a) {
    const std::string& path = a.path.path;
    Result<std::string> contents = without_interpreter_lock(
        [&](const persist::InterruptCheck& check) { return persist::read_file(path, check); });
    if (PyErr_Occurred() || !take(contents)) return nullptr;
    return decode_bytes_into_new<Engine>(cls, contents.value());
}

// The values of a subclass's __slots__ that are set, by name (copyreg's list
// of slot names, the one pickle uses); a null Ref without an error when
// there are none.
inline bool slot_values(PyObject* self, Ref& values) {
    values = Ref();
    Ref module(PyImport_ImportModule("copyreg"));
    Ref names(module ? PyObject_CallMethod(module.get(), "_slotnames", "O", Py_TYPE(self)) : nullptr);
    if (!names) return false;
    Ref iterator(PyObject_GetIter(names.get()));
    if (!iterator) return false;
    Ref found(PyDict_New());
    if (!found) return false;
    while (Ref name{PyIter_Next(iterator.get())}) {
        Ref value(PyObject_GetAttr(self, name.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();  // a slot never set
            continue;
        }
        if (PyDict_SetItem(found.get(), name.get(), value.get()) != 0) return false;
    }
    if (PyErr_Occurred()) return false;
    if (PyDict_Size(found.get()) > 0) values = std::move(found);
    return true;
}

inline bool set_slot_values(PyObject* to, PyObject* values) {
    PyObject *name, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(values, &at, &name, &value))
        if (PyObject_SetAttr(to, name, value) != 0) return false;
    return true;
}

// `value` as it is, or through copy.deepcopy with `memo`.
inline Ref copied_value(PyObject* value, PyObject* memo) {
    if (memo == nullptr) return Ref::borrowed(value);
    Ref module(PyImport_ImportModule("copy"));
    return Ref(module ? PyObject_CallMethod(module.get(), "deepcopy", "OO", value, memo) : nullptr);
}

// The instance attributes of `from` (a subclass's __dict__ and __slots__),
// copied into `to`'s: as they are, or through copy.deepcopy with `memo`.
inline bool copy_attributes(PyObject* from, PyObject* to, PyObject* memo) {
    Ref slots;
    if (!slot_values(from, slots)) return false;
    if (slots) {
        Ref copied = copied_value(slots.get(), memo);
        if (!copied || !set_slot_values(to, copied.get())) return false;
    }
    Ref attributes(PyObject_GetAttrString(from, "__dict__"));
    if (!attributes) {
        // Instances of the classes themselves have no __dict__.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (PyDict_Size(attributes.get()) == 0) return true;
    Ref copied = copied_value(attributes.get(), memo);
    Ref target(copied ? PyObject_GetAttrString(to, "__dict__") : nullptr);
    return target && PyDict_Update(target.get(), copied.get()) == 0;
}

// Deep, field-by-field copy of the engine: it holds no Python objects. A
// subclass instance's attributes are copied too, shallowly by copy.copy.
template <class Engine>
PyObject* copy(PyTypeObject*, PyObject* self, const NoArgs&) {
    const Engine& e = engine_of<Engine>(self);
    Ref made(wrap(Py_TYPE(self), unlocked([&] { return Engine(e); }), workspace_of<Engine>(self)));
    if (!made || !copy_attributes(self, made.get(), nullptr)) return nullptr;
    return made.release();
}

// copy.deepcopy: the new object enters `memo` before the attributes are
// copied, so that attributes referring back to the detector get the copy.
struct DeepCopyArgs {
    Object memo;
    static constexpr auto params() { return std::tuple{param("memo", &DeepCopyArgs::memo, "object")}; }
};

template <class Engine>
PyObject* deep_copy(PyTypeObject*, PyObject* self, const DeepCopyArgs& a) {
    PyObject* memo = a.memo.object;
    const Engine& e = engine_of<Engine>(self);
    Ref made(wrap(Py_TYPE(self), unlocked([&] { return Engine(e); }), workspace_of<Engine>(self)));
    if (!made) return nullptr;
    if (PyDict_Check(memo)) {
        Ref id(PyLong_FromVoidPtr(self));
        if (!id || PyDict_SetItem(memo, id.get(), made.get()) != 0 || !copy_attributes(self, made.get(), memo))
            return nullptr;
    } else if (!copy_attributes(self, made.get(), nullptr)) {
        return nullptr;
    }
    return made.release();
}

struct SetStateArgs {
    Object state;
    static constexpr auto params() {
        return std::tuple{param("state", &SetStateArgs::state, "_JsonText | dict[str, object]")};
    }
};

template <class Engine>
PyObject* set_state(PyTypeObject*, PyObject* self, const SetStateArgs& a) {
    PyObject* const state = a.state.object;
    // A dict is a subclass instance's attributes, which pickling by
    // __reduce__ hands back after the state itself was restored; a pair is
    // those attributes (or None) and the values of its __slots__.
    if (PyTuple_Check(state) && PyTuple_Size(state) == 2) {
        PyObject* attributes = PyTuple_GetItem(state, 0);
        PyObject* slots = PyTuple_GetItem(state, 1);
        if (attributes == nullptr || slots == nullptr) return nullptr;
        if ((attributes != Py_None && !PyDict_Check(attributes)) || !PyDict_Check(slots)) {
            PyErr_SetString(PyExc_TypeError, "state must be a document, or a subclass's attributes and slots");
            return nullptr;
        }
        if (attributes != Py_None) {
            Ref attrs(PyObject_GetAttrString(self, "__dict__"));
            if (!attrs || PyDict_Update(attrs.get(), attributes) != 0) return nullptr;
        }
        if (!set_slot_values(self, slots)) return nullptr;
        Py_RETURN_NONE;
    }
    if (PyDict_Check(state)) {
        Ref attrs(PyObject_GetAttrString(self, "__dict__"));
        if (!attrs || PyDict_Update(attrs.get(), state) != 0) return nullptr;
        Py_RETURN_NONE;
    }
    JsonText text;
    if (!from_python(state, "state", text, self)) return nullptr;
    Result<Engine> decoded = unlocked([&] { return read_document<Engine>(text.text); });
    if (!take(decoded)) return nullptr;
    engine_of<Engine>(self) = std::move(decoded).value();
    Py_RETURN_NONE;
}

// Pickling at every protocol: the class's from_bytes and the compact bytes,
// so unpickling allocates only what the bytes describe; a subclass's
// instance attributes follow as the state. Pickles of the earlier form (the
// class, __getnewargs__ and the JSON text for __setstate__) still load.
template <class Engine>
PyObject* reduce_via_bytes(PyTypeObject*, PyObject* self, const NoArgs&) {
    Ref loader(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
    if (!loader) return nullptr;
    Ref data(to_bytes<Engine>(nullptr, self, NoArgs{}));
    if (!data) return nullptr;
    Ref attrs;
    if (PyObject_HasAttrString(self, "__dict__")) {
        attrs = Ref(PyObject_GetAttrString(self, "__dict__"));
        if (!attrs) return nullptr;
        if (PyDict_Check(attrs.get()) && PyDict_Size(attrs.get()) == 0) attrs = Ref();
    }
    Ref slots;
    if (!slot_values(self, slots)) return nullptr;
    if (slots) return Py_BuildValue("(O(O)(OO))", loader.get(), data.get(), attrs ? attrs.get() : Py_None, slots.get());
    if (!attrs) return Py_BuildValue("(O(O))", loader.get(), data.get());
    return Py_BuildValue("(O(O)O)", loader.get(), data.get(), attrs.get());
}

// The persistence, copy and pickle methods, the same for every class:
// `NewArgs` gives __getnewargs__'s constructor arguments (`new_args_type` in
// the stubs), which pickles of the earlier form rebuild the instance from.
template <class Engine, PyObject* (*NewArgs)(PyTypeObject*, PyObject*, const NoArgs&)>
constexpr std::array<MethodSpec, 14> persistence_methods(const char* new_args_type) {
    constexpr auto I = MethodKind::Instance;
    constexpr auto C = MethodKind::Class;
    constexpr const char* reduced = "tuple[object, tuple[bytes]] | tuple[object, tuple[bytes], dict[str, object]]";
    return {
        method<&to_json<Engine>>("to_json", I, Borrow::Shared, "str", "Serialise {state} to a JSON string."),
        method<&from_json<Engine>>("from_json", C, Borrow::None, "Self", "Load {one} from a JSON string."),
        method<&save_json<Engine>>("save_json", I, Borrow::Shared, "None", "Serialise {state} to a JSON file."),
        method<&load_json<Engine>>("load_json", C, Borrow::None, "Self", "Load {one} from a JSON file."),
        method<&to_bytes<Engine>>("to_bytes", I, Borrow::Shared, "bytes",
                                  "Serialise {state} to compact, checksummed bytes."),
        method<&from_bytes<Engine>>("from_bytes", C, Borrow::None, "Self", "Load {one} from bytes made by to_bytes."),
        method<&save<Engine>>("save", I, Borrow::Shared, "None", "Serialise {state} to a file in the compact form."),
        method<&load<Engine>>("load", C, Borrow::None, "Self", "Load {one} from a file written by save."),
        method<&copy<Engine>>("__copy__", I, Borrow::Shared, "Self", ""),
        method<&deep_copy<Engine>>("__deepcopy__", I, Borrow::Shared, "Self", ""),
        method<&to_json<Engine>>("__getstate__", I, Borrow::Shared, "str", ""),
        method<&set_state<Engine>>("__setstate__", I, Borrow::Exclusive, "None", ""),
        method<NewArgs>("__getnewargs__", I, Borrow::Shared, new_args_type, ""),
        method<&reduce_via_bytes<Engine>>("__reduce__", I, Borrow::Shared, reduced, ""),
    };
}

}  // namespace arbolet::python
