#include "python/binder.hpp"


#include "python/ref.hpp"

namespace arbolet::python {
namespace {

PyObject* parse_default(const std::string& text) {
    if (text == "None") return Py_NewRef(Py_None);
    if (text == "True") return Py_NewRef(Py_True);
    if (text == "False") return Py_NewRef(Py_False);
    // A quoted word (a choice such as 'both'); the signatures hold no escapes.
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'')
        return PyUnicode_FromStringAndSize(text.data() + 1, static_cast<Py_ssize_t>(text.size() - 2));
    if (text.find_first_of(".eE") != std::string::npos) {
        Ref s(PyUnicode_FromString(text.c_str()));
        if (!s) return nullptr;
        return PyFloat_FromString(s.get());
    }
    return PyLong_FromString(text.c_str(), nullptr, 10);
}

void raise_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

std::size_t find_param(const Signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.name_objects.size(); ++i)
        if (sig.name_objects[i] == key) return i;
    for (std::size_t i = 0; i < sig.names.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i].c_str()) == 0) return i;
    return sig.names.size();
}

}  // namespace

bool Signature::build(const ParamSpec* params, std::size_t count, std::string qualified_name) {
    qualified = std::move(qualified_name);
    for (std::size_t i = 0; i < count; ++i) {
        const ParamSpec& p = params[i];
        PyObject* def = nullptr;
        if (p.default_text != nullptr) {
            def = parse_default(p.default_text);
            if (def == nullptr) return false;
        } else {
            ++required;
        }
        PyObject* interned = PyUnicode_InternFromString(p.name);
        if (interned == nullptr) return false;
        names.emplace_back(p.name);
        name_objects.push_back(interned);
        defaults.push_back(def);
    }
    return true;
}

std::string text_signature(const char* name, const ParamSpec* params, std::size_t count, bool self) {
    std::string line = std::string(name) + "(";
    if (self) line += count > 0 ? "$self, " : "$self";
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) line += ", ";
        line += params[i].name;
        if (params[i].default_text != nullptr) line += std::string("=") + params[i].default_text;
    }
    return line + ")";
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject* const* kwvalues, PyObject** out) {
    const std::size_t n = sig.names.size();
    if (static_cast<std::size_t>(nargs) > n) {
        std::string message = sig.qualified + " takes ";
        if (sig.required == n)
            message += std::to_string(n);
        else
            message += "from " + std::to_string(sig.required) + " to " + std::to_string(n);
        message += " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was given" : " were given");
        raise_type_error(message);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        const std::size_t index = find_param(sig, key);
        if (index == n) {
            const char* text = PyUnicode_AsUTF8AndSize(key, nullptr);
            if (text == nullptr) return false;
            raise_type_error(sig.qualified + " got an unexpected keyword argument '" + text + "'");
            return false;
        }
        if (out[index] != nullptr) {
            raise_type_error(sig.qualified + " got multiple values for argument '" + sig.names[index] + "'");
            return false;
        }
        out[index] = kwvalues[k];
    }

    std::vector<std::string> missing;
    for (std::size_t i = 0; i < n; ++i)
        if (out[i] == nullptr && sig.defaults[i] == nullptr) missing.push_back(sig.names[i]);
    if (!missing.empty()) {
        raise_type_error(sig.qualified + " missing " + std::to_string(missing.size()) + " required positional " +
                         (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
        return false;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (out[i] == nullptr) out[i] = sig.defaults[i];
    return true;
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    std::vector<PyObject*> flat;
    flat.reserve(static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GetItem(args, i));
    Ref kwnames;
    std::vector<PyObject*> kwvalues;
    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        kwnames = Ref(PyTuple_New(PyDict_Size(kwargs)));
        if (!kwnames) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SetItem(kwnames.get(), k++, Py_NewRef(key));
            kwvalues.push_back(value);
        }
    }
    return bind(sig, flat.data(), nargs, kwnames.get(), kwvalues.data(), out);
}

}  // namespace arbolet::python
