// The vocabulary of a class's one declaration: each handler takes its
// arguments in a struct whose `params()` names every member once, with its
// Python type (for the stubs) and default. The binder's signatures, the text
// signatures and the stubs all come from these declarations.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>

#include "python/binder.hpp"
#include "python/class_spec.hpp"
#include "python/convert.hpp"

namespace arbolet::python {

// One parameter: its name (also the one conversion messages quote), the
// member of the arguments struct it fills, its type in the stubs, and its
// default as Python text (nullptr: required).
template <class Args, class T>
struct Param {
    const char* name;
    T Args::* member;
    const char* py_type;
    const char* default_text = nullptr;
};

template <class Args, class T>
constexpr Param<Args, T> param(const char* name, T Args::* member, const char* py_type,
                               const char* default_text = nullptr) {
    return {name, member, py_type, default_text};
}

inline constexpr MethodKind kInstance = MethodKind::Instance;
inline constexpr MethodKind kClass = MethodKind::Class;
inline constexpr MethodKind kStatic = MethodKind::Static;

// Arguments of a method that takes none.
struct NoArgs {
    static constexpr auto params() { return std::tuple<>{}; }
};

template <class Args>
struct ParamTable {
    static constexpr auto params = Args::params();
    static constexpr std::size_t size = std::tuple_size_v<decltype(params)>;
    static_assert(size <= kMaxParams, "more parameters than the binder holds");
    static constexpr std::array<ParamSpec, size> specs = std::apply(
        [](const auto&... p) { return std::array<ParamSpec, size>{ParamSpec{p.name, p.py_type, p.default_text}...}; },
        params);
};

// Converts the bound values, in declaration order, into `out`; the first
// failure stops with its Python error set.
template <class Args>
bool convert_args(PyObject* const* bound, PyObject* self, Args& out) {
    return std::apply(
        [&](const auto&... p) {
            std::size_t i = 0;
            return (from_python(bound[i++], p.name, out.*(p.member), self) && ...);
        },
        ParamTable<Args>::params);
}

template <class Fn>
struct HandlerArgs;
template <class Args>
struct HandlerArgs<PyObject* (*)(PyTypeObject*, PyObject*, const Args&)> {
    using type = Args;
};
template <class Args>
struct HandlerArgs<PyObject* (*)(PyTypeObject*, const Args&)> {
    using type = Args;
};

template <auto Fn>
using ArgsOf = typename HandlerArgs<decltype(Fn)>::type;

template <auto Fn>
PyObject* typed_method(PyTypeObject* cls, PyObject* self, PyObject* const* bound) {
    ArgsOf<Fn> args{};
    if (!convert_args(bound, self, args)) return nullptr;
    return Fn(cls, self, args);
}

template <auto Fn>
PyObject* typed_constructor(PyTypeObject* cls, PyObject* const* bound) {
    ArgsOf<Fn> args{};
    if (!convert_args(bound, nullptr, args)) return nullptr;
    return Fn(cls, args);
}

// One method: `Fn` is `PyObject* (PyTypeObject* cls, PyObject* self, const
// Args&)`; its parameters come from Args. `returns` is the stubs' return type.
template <auto Fn>
constexpr MethodSpec method(const char* name, MethodKind kind, Borrow borrow, const char* returns, const char* doc) {
    using Table = ParamTable<ArgsOf<Fn>>;
    return MethodSpec{name, kind, doc, borrow, &typed_method<Fn>, Table::specs.data(), Table::size, returns};
}

// The constructor: `Fn` is `PyObject* (PyTypeObject* cls, const Args&)`.
template <auto Fn>
constexpr ConstructorSpec constructor() {
    using Table = ParamTable<ArgsOf<Fn>>;
    return ConstructorSpec{&typed_constructor<Fn>, Table::specs.data(), Table::size};
}

// Joins a class's own methods and a shared set into one table.
template <std::size_t N, std::size_t M>
constexpr std::array<MethodSpec, N + M> join(const std::array<MethodSpec, N>& a, const std::array<MethodSpec, M>& b) {
    std::array<MethodSpec, N + M> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = a[i];
    for (std::size_t i = 0; i < M; ++i) out[N + i] = b[i];
    return out;
}

}  // namespace arbolet::python
