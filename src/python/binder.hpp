// Argument binding with Python's rules (positional or keyword, defaults),
// driven by the declared parameters of a method or constructor.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "python/py.hpp"

namespace arbolet::python {

// Bound arguments live in a stack array of this many entries; a longer
// declaration is refused at compile time (see ParamTable in declare.hpp).
inline constexpr std::size_t kMaxParams = 16;

// One declared parameter: its name, its type in the stubs, and its default
// as Python text ("10", "1.0", "None", "True", "'both'"; nullptr: required).
struct ParamSpec {
    const char* name = nullptr;
    const char* py_type = nullptr;
    const char* default_text = nullptr;
};

struct Signature {
    std::string qualified;               // "Forest.update()", used in messages
    std::vector<std::string> names;      // parameter names, self excluded
    std::vector<PyObject*> name_objects; // interned names
    std::vector<PyObject*> defaults;     // owned default values; nullptr when required
    std::size_t required = 0;

    // From the declared parameters; `qualified` is the name messages use.
    // Returns false with a Python error set.
    bool build(const ParamSpec* params, std::size_t count, std::string qualified_name);
};

// "name($self, a, b=1)" (`self` for instance methods), the form of
// __text_signature__ that inspect.signature reads.
std::string text_signature(const char* name, const ParamSpec* params, std::size_t count, bool self);

// Fills out[0 .. names.size()) with borrowed references in signature order,
// defaults included. `kwvalues` are the values named by `kwnames` (a tuple or
// nullptr). Returns false with TypeError set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject* const* kwvalues, PyObject** out);

// The same for a constructor's tuple and dict.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace arbolet::python
