// Declarative class and method tables, and the one call path every method
// takes: bind, check self, borrow, convert and run (in the handler), release.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/binder.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/fork_guard.hpp"
#include "python/py.hpp"
#include "python/ref.hpp"

namespace arbolet::python {

// Memory layout of every instance: the interpreter's header, the borrow flag,
// then the engine value.
struct InstanceHead {
    PyObject ob_base;
    std::atomic<std::int64_t> borrow;
    std::atomic<std::uint64_t> borrow_generation;  // fork_guard.hpp
};

// Every borrow of an instance: refused in a forked child when a thread of
// the parent held the instance at the fork, then the borrow flag.
inline bool borrow_instance(BorrowGuard& guard, PyObject* self, Borrow kind) {
    if (kind == Borrow::None) return true;
    InstanceHead* head = reinterpret_cast<InstanceHead*>(self);
    return claim_for_this_process(head->borrow, head->borrow_generation) && guard.acquire(head->borrow, kind);
}

// What an instance holds next to its engine value that is not state: the
// engine's Workspace when it names one (settings such as a thread count, and
// working storage), else nothing.
struct NoWorkspace {};
template <class Engine>
struct WorkspaceOf {
    using type = NoWorkspace;
};
template <class Engine>
    requires requires { typename Engine::Workspace; }
struct WorkspaceOf<Engine> {
    using type = typename Engine::Workspace;
};

template <class Engine>
struct Instance : InstanceHead {
    Engine engine;
    [[no_unique_address]] typename WorkspaceOf<Engine>::type workspace;
};

template <class Engine>
Engine& engine_of(PyObject* self) {
    return static_cast<Instance<Engine>*>(reinterpret_cast<InstanceHead*>(self))->engine;
}

template <class Engine>
typename WorkspaceOf<Engine>::type& workspace_of(PyObject* self) {
    return static_cast<Instance<Engine>*>(reinterpret_cast<InstanceHead*>(self))->workspace;
}

// Class methods receive the class they were called on (a subclass too) as
// `cls` and a null `self`; static methods receive the base class.
enum class MethodKind : std::uint8_t { Instance, Static, Class };

// A handler converts the bound arguments (in declaration order) and runs the
// engine operation. `self` is null for static and class methods.
using Handler = PyObject* (*)(PyTypeObject* cls, PyObject* self, PyObject* const* bound);

// Made by method<Fn>() (declare.hpp) from one declaration.
struct MethodSpec {
    const char* name;
    MethodKind kind;
    // Documentation proper, may be empty; "{state}" and "{one}" stand for the
    // class's nouns (ClassSpec), so that shared methods read as the class's own.
    const char* doc;
    Borrow borrow;
    Handler handler;
    const ParamSpec* params;
    std::size_t param_count;
    const char* returns;  // the stubs' return type
};

// An attribute computed from the instance under a shared borrow; read-only
// unless `set` is given, which runs under an exclusive borrow (returns false
// with a Python error set). Deleting a settable attribute is refused.
struct PropertySpec {
    const char* name;
    const char* py_type;  // the stubs' type
    const char* doc;
    PyObject* (*get)(PyObject* self);
    bool (*set)(PyObject* self, PyObject* value) = nullptr;
    const char* set_type = nullptr;  // the stubs' type of an assigned value
};

// Made by constructor<Fn>() (declare.hpp).
struct ConstructorSpec {
    PyObject* (*construct)(PyTypeObject* cls, PyObject* const* bound);
    const ParamSpec* params;
    std::size_t param_count;
};

struct ClassSpec {
    const char* name;          // "Forest"
    const char* doc;           // the class's documentation, without a signature line
    const char* state_noun;    // "forest state", for the shared methods' "{state}"
    const char* one_noun;      // "a forest", for their "{one}"
    ConstructorSpec constructor;
    const MethodSpec* methods;
    std::size_t method_count;
    const PropertySpec* properties;
    std::size_t property_count;
    std::size_t basic_size;
    PyObject* (*text)(PyObject* self);  // __repr__ and __str__
    void (*destroy)(PyObject* self);    // runs the engine's destructor
};

// A method's documentation with the class's nouns in place of "{state}" and
// "{one}".
inline std::string method_doc(const ClassSpec& c, const MethodSpec& m) {
    std::string doc = m.doc;
    const std::pair<std::string_view, const char*> nouns[] = {{"{state}", c.state_noun}, {"{one}", c.one_noun}};
    for (const auto& [mark, noun] : nouns)
        for (std::size_t at = doc.find(mark); at != std::string::npos; at = doc.find(mark, at))
            doc.replace(at, mark.size(), noun);
    return doc;
}

// Wraps an engine value into a new instance of `cls`, with a copy of
// `workspace` (whose copies keep settings, not storage) next to it.
template <class Engine>
PyObject* wrap(PyTypeObject* cls, Engine&& engine,
               const typename WorkspaceOf<std::decay_t<Engine>>::type& workspace = {}) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    PyObject* obj = alloc(cls, 0);
    if (obj == nullptr) return nullptr;
    auto* inst = static_cast<Instance<std::decay_t<Engine>>*>(reinterpret_cast<InstanceHead*>(obj));
    new (&inst->borrow) std::atomic<std::int64_t>(0);
    new (&inst->borrow_generation) std::atomic<std::uint64_t>(process_generation.load());
    try {
        new (&inst->engine) std::decay_t<Engine>(std::forward<Engine>(engine));
        new (&inst->workspace) typename WorkspaceOf<std::decay_t<Engine>>::type(workspace);
    } catch (...) {
        // Not yet a complete instance: free the memory without the destructor,
        // and drop the reference to the class that the allocation took.
        const Ref class_reference(reinterpret_cast<PyObject*>(cls));
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(cls, Py_tp_free));
        free_fn(obj);
        return raise_current_exception();
    }
    return obj;
}

template <class Engine>
void destroy_engine(PyObject* self) {
    using Workspace = typename WorkspaceOf<Engine>::type;
    workspace_of<Engine>(self).~Workspace();
    engine_of<Engine>(self).~Engine();
}

// Per-class runtime: the lazily created type object and parsed signatures.
template <const ClassSpec& C>
struct ClassRuntime {
    static inline PyTypeObject* type = nullptr;
    static inline std::vector<Signature> signatures;
    static inline Signature constructor;
    static inline std::vector<std::string> docs;
    static inline std::string class_doc;
    static inline std::vector<PyMethodDef> defs;
    static inline std::vector<PyGetSetDef> getsets;

    template <std::size_t I>
    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        constexpr const MethodSpec& m = C.methods[I];
        PyObject* bound[kMaxParams];
        if (!bind(signatures[I], args, nargs, kwnames, args + nargs, bound)) return nullptr;
        PyTypeObject* cls = type;
        if constexpr (m.kind == MethodKind::Class) {
            cls = reinterpret_cast<PyTypeObject*>(self);
            self = nullptr;
        }
        BorrowGuard guard;
        if constexpr (m.kind != MethodKind::Static && m.kind != MethodKind::Class) {
            if (!PyObject_TypeCheck(self, type)) {
                PyErr_Format(PyExc_TypeError, "%s.%s() requires a '%s' instance", C.name, m.name, C.name);
                return nullptr;
            }
            if (!borrow_instance(guard, self, m.borrow)) return nullptr;
        }
        try {
            return m.handler(cls, self, bound);
        } catch (...) {
            return raise_current_exception();
        }
    }

    static PyObject* tp_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
        PyObject* bound[kMaxParams];
        if (!bind_tuple(constructor, args, kwargs, bound)) return nullptr;
        try {
            return C.constructor.construct(cls, bound);
        } catch (...) {
            return raise_current_exception();
        }
    }

    static PyObject* tp_repr(PyObject* self) {
        BorrowGuard guard;
        if (!borrow_instance(guard, self, Borrow::Shared)) return nullptr;
        try {
            return C.text(self);
        } catch (...) {
            return raise_current_exception();
        }
    }

    static PyObject* get_property(PyObject* self, void* closure) {
        const PropertySpec& p = *static_cast<const PropertySpec*>(closure);
        BorrowGuard guard;
        if (!borrow_instance(guard, self, Borrow::Shared)) return nullptr;
        try {
            return p.get(self);
        } catch (...) {
            return raise_current_exception();
        }
    }

    static int set_property(PyObject* self, PyObject* value, void* closure) {
        const PropertySpec& p = *static_cast<const PropertySpec*>(closure);
        if (value == nullptr) {
            PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%s'", p.name);
            return -1;
        }
        BorrowGuard guard;
        if (!borrow_instance(guard, self, Borrow::Exclusive)) return -1;
        try {
            return p.set(self, value) ? 0 : -1;
        } catch (...) {
            raise_current_exception();
            return -1;
        }
    }

    static void tp_dealloc(PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        // Instances of a heap type hold a reference to it, dropped last.
        const Ref class_reference(reinterpret_cast<PyObject*>(tp));
        C.destroy(self);
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
        free_fn(self);
    }

    template <std::size_t... I>
    static void add_defs(std::index_sequence<I...>) {
        (defs.push_back(PyMethodDef{
             C.methods[I].name,
             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call<I>)),
             METH_FASTCALL | METH_KEYWORDS |
                 (C.methods[I].kind == MethodKind::Static  ? METH_STATIC
                  : C.methods[I].kind == MethodKind::Class ? METH_CLASS
                                                           : 0),
             nullptr}),
         ...);
    }

    // The class object, created on first use and kept for the process.
    static PyTypeObject* get() {
        if (type != nullptr) return type;
        const ConstructorSpec& made = C.constructor;
        if (!constructor.build(made.params, made.param_count, std::string(C.name) + ".__new__()")) return nullptr;
        class_doc = text_signature(C.name, made.params, made.param_count, false) + "\n--\n\n" + C.doc;
        signatures.resize(C.method_count);
        docs.resize(C.method_count);
        for (std::size_t i = 0; i < C.method_count; ++i) {
            const MethodSpec& m = C.methods[i];
            if (!signatures[i].build(m.params, m.param_count, std::string(C.name) + "." + m.name + "()"))
                return nullptr;
            const bool self = m.kind == MethodKind::Instance;
            docs[i] = text_signature(m.name, m.params, m.param_count, self) + "\n--\n\n" + method_doc(C, m);
        }
        add_defs(std::make_index_sequence<C.method_count>());
        for (std::size_t i = 0; i < C.method_count; ++i) defs[i].ml_doc = docs[i].c_str();
        defs.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        for (std::size_t i = 0; i < C.property_count; ++i) {
            const PropertySpec& p = C.properties[i];
            getsets.push_back(PyGetSetDef{p.name, &get_property, p.set != nullptr ? &set_property : nullptr, p.doc,
                                          const_cast<void*>(static_cast<const void*>(&p))});
        }
        getsets.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});

        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
            {Py_tp_repr, reinterpret_cast<void*>(&tp_repr)},
            {Py_tp_str, reinterpret_cast<void*>(&tp_repr)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
            {Py_tp_doc, const_cast<char*>(class_doc.c_str())},
            {Py_tp_methods, defs.data()},
            {Py_tp_getset, getsets.data()},
            {0, nullptr},
        };
        static const std::string qualified = std::string("arbolet.arbolet.") + C.name;
        PyType_Spec spec = {qualified.c_str(), static_cast<int>(C.basic_size), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
        PyObject* created = PyType_FromSpec(&spec);
        if (created == nullptr) {
            // The failure keeps its own message; what went wrong underneath
            // becomes its cause, as `raise ... from`.
            FetchedError cause = FetchedError::fetch();
            cause.normalize();
            if (cause.value && cause.traceback) PyException_SetTraceback(cause.value.get(), cause.traceback.get());
            raise_panic(std::string("An error occurred while initializing class ") + C.name);
            if (cause.value) {
                FetchedError panic = FetchedError::fetch();
                panic.normalize();
                if (panic.value) PyException_SetCause(panic.value.get(), cause.value.release());
                panic.restore();
            }
            return nullptr;
        }
        type = reinterpret_cast<PyTypeObject*>(created);
        return type;
    }
};

}  // namespace arbolet::python
