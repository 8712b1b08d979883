// Compact JSON text of the state documents, built in one growing buffer
// without an allocation per value.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/matrix.hpp"
#include "persist/float_text.hpp"

namespace arbolet::persist {

class JsonWriter {
public:
    explicit JsonWriter(std::size_t expected_size) { buf_.resize(expected_size < 128 ? 128 : expected_size); }

    // Literal text: punctuation and quoted keys such as ",\"mass\":".
    void raw(std::string_view text) {
        char* p = room(text.size());
        std::memcpy(p, text.data(), text.size());
        len_ += text.size();
    }
    void ch(char c) {
        *room(1) = c;
        ++len_;
    }

    void u64(std::uint64_t v) {
        char* p = room(20);
        len_ = static_cast<std::size_t>(std::to_chars(p, p + 20, v).ptr - buf_.data());
    }
    void i64(std::int64_t v) {
        char* p = room(20);
        len_ = static_cast<std::size_t>(std::to_chars(p, p + 20, v).ptr - buf_.data());
    }
    void boolean(bool v) { raw(v ? std::string_view("true") : std::string_view("false")); }
    void null() { raw("null"); }

    // Non-finite values have no JSON number: they are written as null.
    void f32(float v) {
        if (!std::isfinite(v)) return null();
        char* p = room(kMaxFloatText);
        len_ = static_cast<std::size_t>(write_f32(p, v) - buf_.data());
    }
    void f64(double v) {
        if (!std::isfinite(v)) return null();
        char* p = room(kMaxFloatText);
        len_ = static_cast<std::size_t>(write_f64(p, v) - buf_.data());
    }

    void value(float v) { f32(v); }
    void value(double v) { f64(v); }
    void value(std::uint64_t v) { u64(v); }
    void value(std::int64_t v) { i64(v); }

    template <class T>
    void list(std::span<const T> values) {
        list(values, 0, T{});
    }
    // `values` and then `unused` copies of `fill`: a table of which only the
    // entries in use are held.
    template <class T>
    void list(std::span<const T> values, std::uint64_t unused, T fill) {
        ch('[');
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i != 0) ch(',');
            value(values[i]);
        }
        for (std::uint64_t i = 0; i < unused; ++i) {
            if (i != 0 || !values.empty()) ch(',');
            value(fill);
        }
        ch(']');
    }
    template <class T>
    void list(const std::vector<T>& values) {
        list(std::span<const T>(values));
    }

    // {"v":1,"dim":[…],"data":[…]}
    template <class T>
    void matrix(const Matrix<T>& m) {
        raw("{\"v\":1,\"dim\":");
        list(m.dim);
        raw(",\"data\":");
        list(m.data);
        ch('}');
    }

    std::string take() && {
        buf_.resize(len_);
        return std::move(buf_);
    }

private:
    char* room(std::size_t n) {
        if (buf_.size() - len_ < n) buf_.resize(buf_.size() * 2 + n);
        return buf_.data() + len_;
    }

    std::string buf_;
    std::size_t len_ = 0;
};

}  // namespace arbolet::persist
