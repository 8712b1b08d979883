#include "python/describe.hpp"

#include <cstddef>

#include "python/class_spec.hpp"
#include "python/classes.hpp"
#include "python/ref.hpp"

namespace arbolet::python {
namespace {

PyObject* text_or_none(const char* text) { return text != nullptr ? PyUnicode_FromString(text) : Py_NewRef(Py_None); }

// Appends `item` (a new reference, or nullptr on failure) to `list`.
bool append(PyObject* list, PyObject* item) {
    Ref held(item);
    return held && PyList_Append(list, held.get()) == 0;
}

PyObject* describe_params(const ParamSpec* params, std::size_t count) {
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        Ref def(text_or_none(params[i].default_text));
        if (!def || !append(list.get(), Py_BuildValue("{sssssO}", "name", params[i].name, "type", params[i].py_type,
                                                      "default", def.get())))
            return nullptr;
    }
    return list.release();
}

const char* kind_name(MethodKind kind) {
    switch (kind) {
        case MethodKind::Class: return "class";
        case MethodKind::Static: return "static";
        default: return "instance";
    }
}

PyObject* describe_class(const ClassSpec& c) {
    Ref methods(PyList_New(0));
    if (!methods) return nullptr;
    for (std::size_t i = 0; i < c.method_count; ++i) {
        const MethodSpec& m = c.methods[i];
        Ref params(describe_params(m.params, m.param_count));
        if (!params || !append(methods.get(), Py_BuildValue("{sssssOssss}", "name", m.name, "kind", kind_name(m.kind),
                                                            "params", params.get(), "returns", m.returns, "doc",
                                                            method_doc(c, m).c_str())))
            return nullptr;
    }
    Ref properties(PyList_New(0));
    if (!properties) return nullptr;
    for (std::size_t i = 0; i < c.property_count; ++i) {
        const PropertySpec& p = c.properties[i];
        Ref set_type(text_or_none(p.set != nullptr ? p.set_type : nullptr));
        if (!set_type || !append(properties.get(), Py_BuildValue("{sssssssO}", "name", p.name, "type", p.py_type, "doc",
                                                                 p.doc, "set_type", set_type.get())))
            return nullptr;
    }
    Ref constructor(describe_params(c.constructor.params, c.constructor.param_count));
    if (!constructor) return nullptr;
    return Py_BuildValue("{sssssOsOsO}", "name", c.name, "doc", c.doc, "constructor", constructor.get(), "methods",
                         methods.get(), "properties", properties.get());
}

}  // namespace

PyObject* describe_classes() {
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const ClassSpec* c : {&forest_class(), &mstream_class(), &thresholder_class(), &monitor_class()})
        if (!append(list.get(), describe_class(*c))) return nullptr;
    return list.release();
}

}  // namespace arbolet::python
