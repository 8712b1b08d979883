// The classes, created on first use.
#pragma once

#include <cstdint>

#include "python/py.hpp"

namespace arbolet::rcf {
struct Forest;
}

namespace arbolet::python {

PyTypeObject* forest_type();
PyTypeObject* mstream_type();
PyTypeObject* thresholder_type();
PyTypeObject* monitor_type();

}  // namespace arbolet::python
