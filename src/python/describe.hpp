// The classes' declarations as Python data, for the stub generator
// (scripts/generate_stubs.py), which reads them from arbolet._declarations.
#pragma once

#include "python/py.hpp"

namespace arbolet::python {

// A list with one dict per class, in the order the stubs list them.
PyObject* describe_classes();

}  // namespace arbolet::python
