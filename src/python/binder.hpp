// Argument binding with Python's rules (positional or keyword, defaults),
// driven by a signature line such as "near_neighbors($self, point, top_k=10)".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "python/py.hpp"

namespace arbolet::python {

// Bound arguments live in a stack array of this many entries; a longer
// signature is refused when the class is built (see Signature::parse) and at
// compile time by the class tables (see ClassRuntime).
inline constexpr std::size_t kMaxParams = 16;

// Parameters in a signature line, `$self` excluded: one more than its
// top-level commas, none for "()".
constexpr std::size_t count_params(const char* line) {
    std::size_t commas = 0;
    bool open = false, any = false, self = false;
    for (const char* c = line; *c != '\0'; ++c) {
        if (*c == '(') open = true;
        else if (*c == ')') break;
        else if (open && *c == ',') ++commas;
        else if (open && *c == '$') self = true;
        else if (open && *c != ' ') any = true;
    }
    const std::size_t items = any || self ? commas + 1 : 0;
    return self ? items - 1 : items;
}

struct Signature {
    std::string qualified;               // "Forest.update()", used in messages
    std::vector<std::string> names;      // parameter names, self excluded
    std::vector<PyObject*> name_objects; // interned names
    std::vector<PyObject*> defaults;     // owned default values; nullptr when required
    std::size_t required = 0;

    // `line` is "name($self, a, b=1)" or "Class(a, b=1)"; `qualified` is the
    // name messages use. Returns false with a Python error set.
    bool parse(const char* line, std::string qualified_name);
};

// Fills out[0 .. names.size()) with borrowed references in signature order,
// defaults included. `kwvalues` are the values named by `kwnames` (a tuple or
// nullptr). Returns false with TypeError set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject* const* kwvalues, PyObject** out);

// The same for a constructor's tuple and dict.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace arbolet::python
