// Module initialisation: two-phase, no per-module state. The execution step
// adds MStream, Forest, __version__ and Thresholder, in that order, each also
// appended to __all__; then PanicException and the error families
// (StateError, NotReadyError, IndexOutOfRangeError, DimensionError), which are
// not in __all__; then the private _declarations.
#include <utility>

#include "python/classes.hpp"
#include "python/describe.hpp"
#include "python/errors.hpp"
#include "python/py.hpp"
#include "python/ref.hpp"

namespace arbolet::python {
namespace {

constexpr const char* kVersion = ARBOLET_VERSION;

int add_exported(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
    }
    Ref name_obj(PyUnicode_FromString(name));
    if (!name_obj || PyList_Append(all.get(), name_obj.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, name, value);
}

int exec_module(PyObject* module) {
    if (panic_exception_type() == nullptr) return -1;
    if (add_exported(module, "MStream", reinterpret_cast<PyObject*>(mstream_type())) < 0) return -1;
    if (add_exported(module, "Forest", reinterpret_cast<PyObject*>(forest_type())) < 0) return -1;
    Ref version(PyUnicode_FromString(kVersion));
    if (add_exported(module, "__version__", version.get()) < 0) return -1;
    if (add_exported(module, "Thresholder", reinterpret_cast<PyObject*>(thresholder_type())) < 0) return -1;
    if (add_exported(module, "Monitor", reinterpret_cast<PyObject*>(monitor_type())) < 0) return -1;
    // Reachable by name for `except arbolet.PanicException` and the others,
    // though not part of __all__.
    const std::pair<const char*, PyObject*> errors[] = {
        {"PanicException", panic_exception_type()}, {"StateError", state_error_type()},
        {"NotReadyError", not_ready_error_type()}, {"IndexOutOfRangeError", index_error_type()},
        {"DimensionError", dimension_error_type()}};
    for (const auto& [name, type] : errors)
        if (type == nullptr || PyModule_AddObjectRef(module, name, type) < 0) return -1;
    // The declarations the stubs are written from (scripts/generate_stubs.py).
    Ref declarations(describe_classes());
    if (!declarations || PyModule_AddObjectRef(module, "_declarations", declarations.get()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&exec_module)}, {0, nullptr}};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "arbolet", "", 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace arbolet::python

PyMODINIT_FUNC PyInit_arbolet(void) { return PyModuleDef_Init(&arbolet::python::definition); }
