// The engines' single error type. Engine operations return a Result; only the
// binding turns an EngineError into a Python exception.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace arbolet {

struct EngineError {
    enum class Kind : std::uint8_t {
        InvalidArgument,
        DimensionMismatch,
        NotReady,
        IndexOutOfBounds,
        EmptyTree,
        Io,
        Interrupted,  // the caller's stop check asked a long call to stop (interruption.hpp)
    };

    Kind kind;
    std::string text;        // InvalidArgument, Io
    std::uint64_t expected;  // DimensionMismatch
    std::uint64_t got;       // DimensionMismatch
    std::uint64_t index;     // IndexOutOfBounds

    static EngineError invalid_argument(std::string text) { return {Kind::InvalidArgument, std::move(text), 0, 0, 0}; }
    static EngineError dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
        return {Kind::DimensionMismatch, {}, expected, got, 0};
    }
    static EngineError not_ready() { return {Kind::NotReady, {}, 0, 0, 0}; }
    static EngineError index_out_of_bounds(std::uint64_t index) { return {Kind::IndexOutOfBounds, {}, 0, 0, index}; }
    static EngineError empty_tree() { return {Kind::EmptyTree, {}, 0, 0, 0}; }
    static EngineError io(std::string text) { return {Kind::Io, std::move(text), 0, 0, 0}; }
    static EngineError interrupted() { return {Kind::Interrupted, {}, 0, 0, 0}; }
};

// A value or an EngineError.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(EngineError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const EngineError& error() const { return std::get<1>(v_); }
    EngineError&& take_error() { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, EngineError> v_;
};

struct Unit {};

// An operation with no result value.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() : err_(), failed_(false) {}
    Result(Unit) : Result() {}
    Result(EngineError error) : err_(std::move(error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const EngineError& error() const { return err_; }
    EngineError&& take_error() { return std::move(err_); }

private:
    EngineError err_{};
    bool failed_;
};

using Status = Result<void>;

}  // namespace arbolet
