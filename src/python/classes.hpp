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

// Updates still to come before `forest` is ready, 0 once it is (saturating).
std::uint64_t updates_until_ready(const rcf::Forest& forest);

}  // namespace arbolet::python
