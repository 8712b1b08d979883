// The classes, created on first use.
#pragma once

#include "python/py.hpp"

namespace arbolet::python {

struct ClassSpec;

// Each class's one declaration, which the stubs are written from.
const ClassSpec& forest_class();
const ClassSpec& mstream_class();
const ClassSpec& thresholder_class();
const ClassSpec& monitor_class();

PyTypeObject* forest_type();
PyTypeObject* mstream_type();
PyTypeObject* thresholder_type();
PyTypeObject* monitor_type();

}  // namespace arbolet::python
