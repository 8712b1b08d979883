// Module initialisation: two-phase, no per-module state. The execution step
// adds MStream, Forest, __version__ and Thresholder, in that order, each also appended to
// __all__.
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/py.hpp"

namespace arbolet::python {
namespace {

constexpr const char* kVersion = ARBOLET_VERSION;

int add_exported(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* name_obj = PyUnicode_FromString(name);
    const int appended = name_obj != nullptr ? PyList_Append(all, name_obj) : -1;
    Py_XDECREF(name_obj);
    Py_DECREF(all);
    if (appended < 0) return -1;
    return PyModule_AddObjectRef(module, name, value);
}

int exec_module(PyObject* module) {
    if (panic_exception_type() == nullptr) return -1;
    if (add_exported(module, "MStream", reinterpret_cast<PyObject*>(mstream_type())) < 0) return -1;
    if (add_exported(module, "Forest", reinterpret_cast<PyObject*>(forest_type())) < 0) return -1;
    PyObject* version = PyUnicode_FromString(kVersion);
    const int rc = add_exported(module, "__version__", version);
    Py_XDECREF(version);
    if (rc < 0) return rc;
    return add_exported(module, "Thresholder", reinterpret_cast<PyObject*>(thresholder_type()));
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&exec_module)}, {0, nullptr}};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "arbolet", "", 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace arbolet::python

PyMODINIT_FUNC PyInit_arbolet(void) { return PyModuleDef_Init(&arbolet::python::definition); }
