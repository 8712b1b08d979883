// Described records in the JSON document: an object of the fields in
// order, read back in any order or as an array of the values. The plain
// kinds are encoded here; a codec passed along handles its Special tags
// (`codec.write(w, tag, record)` and `codec.read(r, tag, record)`).
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/matrix_reader.hpp"
#include "persist/record_description.hpp"

namespace arbolet::persist::json {

// What the reader needs of a record, derived from its description:
// "struct RcfConfig", "struct RcfConfig with 8 elements" and the names.
template <class Desc>
struct SpecOf {
    static constexpr std::size_t n = record::field_count<Desc>;

    std::string expecting_text;
    std::string length_text;
    const char* expecting;
    const char* length;
    std::array<std::string_view, n> fields{};
    std::uint32_t optional = record::optional_fields<Desc>();

    SpecOf()
        : expecting_text(std::string(record::shape_of<Desc>()) + " " + std::string(record::Description<Desc>::name)),
          length_text(expecting_text + " with " + std::to_string(n) + (n == 1 ? " element" : " elements")),
          expecting(expecting_text.c_str()),
          length(length_text.c_str()) {
        std::size_t i = 0;
        record::for_each_field<Desc>([&](const auto& f) { fields[i++] = f.name; });
    }
    SpecOf(const SpecOf&) = delete;
    SpecOf& operator=(const SpecOf&) = delete;

    static const SpecOf& get() {
        static const SpecOf spec;
        return spec;
    }
};

// "an array of length N", as the reader's messages say it.
template <std::size_t N>
const char* array_of_length() {
    static const std::string text = "an array of length " + std::to_string(N);
    return text.c_str();
}

// ---- writing ------------------------------------------------------------------

template <class Desc, class R, class Codec>
void write_record(JsonWriter& w, const R& rec, Codec& codec);

template <class Kind, class V, class Codec>
void write_value(JsonWriter& w, Kind, const V& v, Codec& codec) {
    using namespace record;
    if constexpr (std::is_same_v<Kind, Usize> || std::is_same_v<Kind, U64>) {
        w.u64(v);
    } else if constexpr (std::is_same_v<Kind, I64>) {
        w.i64(v);
    } else if constexpr (std::is_same_v<Kind, F64>) {
        w.f64(v);
    } else if constexpr (std::is_same_v<Kind, F32>) {
        w.f32(v);
    } else if constexpr (std::is_same_v<Kind, Bool>) {
        w.boolean(v);
    } else if constexpr (std::is_same_v<Kind, Nested>) {
        write_record<V>(w, v, codec);
    } else if constexpr (std::is_same_v<Kind, ListOf<Nested>>) {
        w.ch('[');
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i != 0) w.ch(',');
            write_record<typename V::value_type>(w, v[i], codec);
        }
        w.ch(']');
    } else if constexpr (std::is_same_v<Kind, OptionalU64> || std::is_same_v<Kind, OptionalCount>) {
        if (v)
            w.u64(*v);
        else
            w.null();
    } else if constexpr (requires { codec.write(w, Kind{}, v); }) {  // a Special member
        codec.write(w, Kind{}, v);
    } else if constexpr (requires { w.matrix(v); }) {  // Array
        w.matrix(v);
    } else {  // ListOf, Fixed and BoundList of numbers: non-finite values are null
        w.list(std::span(v.data(), v.size()));
    }
}

// `{"name":` before the first field written, `,"name":` before the others
// (no key in a record written as a bare array), made when compiling so
// that writing a key is a copy of known length.
template <class Desc, std::size_t I, std::size_t Position>
struct KeyText {
    static constexpr bool bare = requires { record::Description<Desc>::tuple; };
    static constexpr std::string_view name = std::get<I>(record::Description<Desc>::fields).name;
    static constexpr std::size_t size = bare ? 1 : name.size() + 4;
    static constexpr std::array<char, size> text = [] {
        std::array<char, size> t{};
        t[0] = Position == 0 ? (bare ? '[' : '{') : ',';
        if constexpr (!bare) {
            t[1] = '"';
            for (std::size_t k = 0; k < name.size(); ++k) t[k + 2] = name[k];
            t[name.size() + 2] = '"';
            t[name.size() + 3] = ':';
        }
        return t;
    }();
};

template <class Desc, std::size_t Position, class R, class Codec>
void write_field(JsonWriter& w, const R& rec, Codec& codec) {
    constexpr std::size_t I = record::written_order<Desc>()[Position];
    constexpr const auto& f = std::get<I>(record::Description<Desc>::fields);
    if constexpr (I > 0 && (record::written_unless_default_fields<Desc>() >> I & 1u) != 0) {
        static const R made{};
        if (f.of(rec) == f.of(made)) return;
    }
    w.raw(std::string_view(KeyText<Desc, I, Position>::text.data(), KeyText<Desc, I, Position>::text.size()));
    record::write_through(
        f, rec, [&](auto kind, const auto& v) { write_value(w, kind, v, codec); },
        [&](auto kind) { codec.write(w, kind, rec); });
}

template <class Desc, class R, class Codec>
void write_record(JsonWriter& w, const R& rec, Codec& codec) {
    [&]<std::size_t... P>(std::index_sequence<P...>) {
        (write_field<Desc, P>(w, rec, codec), ...);
    }(std::make_index_sequence<record::field_count<Desc>>{});
    w.ch(requires { record::Description<Desc>::tuple; } ? ']' : '}');
}

// ---- reading ------------------------------------------------------------------

template <class Desc, class R, class Codec>
void read_record(Reader& r, R& rec, Codec& codec);

template <class Kind, class V>
void read_scalar(Reader& r, Kind, V& v) {
    using namespace record;
    if constexpr (std::is_same_v<Kind, Usize>)
        v = r.read_unsigned("usize");
    else if constexpr (std::is_same_v<Kind, U64>)
        v = r.read_unsigned("u64");
    else if constexpr (std::is_same_v<Kind, I64>)
        v = r.read_i64();
    else if constexpr (std::is_same_v<Kind, F64>)
        v = r.read_f64();
    else if constexpr (std::is_same_v<Kind, F32>)
        v = r.read_f32();
    else if constexpr (std::is_same_v<Kind, Bool>)
        v = r.read_bool();
    else
        static_assert(std::is_same_v<Kind, Bool>, "not a scalar kind");
}

template <class Element, class V>
void read_sequence(Reader& r, record::ListOf<Element>, V& v, const record::Items& items) {
    v.clear();
    r.read_seq("a sequence", [&] {
        typename V::value_type x{};
        read_scalar(r, Element{}, x);
        if (v.size() < items.kept) v.push_back(x);
    });
}

template <class Element, std::size_t N, class V>
void read_sequence(Reader& r, record::Fixed<Element, N>, V& v, const record::Items&) {
    r.read_fixed(N, array_of_length<N>(), [&](std::size_t i) { read_scalar(r, Element{}, v[i]); });
}

template <class Element, std::size_t Axes, class V>
void read_sequence(Reader& r, record::Array<Element, Axes>, V& v, const record::Items&) {
    read_matrix<Axes>(r, v, [&] {
        typename decltype(v.data)::value_type x{};
        read_scalar(r, Element{}, x);
        return x;
    });
}

// A bound that was never set is written as null (it is infinite); it reads
// back as that infinity so that a fresh detector survives a round trip.
template <int Sign, class V>
void read_sequence(Reader& r, record::BoundList<Sign>, V& v, const record::Items&) {
    v.clear();
    r.read_seq("a sequence", [&] { v.push_back(r.read_f64_or_null(Sign * std::numeric_limits<double>::infinity())); });
}

template <class Kind, class V, class Codec>
void read_value(Reader& r, Kind, V& v, Codec& codec, const record::Items& items = {}) {
    using namespace record;
    if constexpr (std::is_same_v<Kind, Nested>) {
        read_record<V>(r, v, codec);
    } else if constexpr (std::is_same_v<Kind, ListOf<Nested>>) {
        v.clear();
        r.read_seq("a sequence", [&] {
            typename V::value_type x{};
            read_record<typename V::value_type>(r, x, codec);
            if (v.size() < items.kept) v.push_back(std::move(x));
        });
    } else if constexpr (std::is_same_v<Kind, OptionalU64> || std::is_same_v<Kind, OptionalCount>) {
        if (r.take_null())
            v.reset();
        else
            v = r.read_unsigned("u64");
    } else if constexpr (requires { codec.read(r, Kind{}, v); }) {  // a Special member
        codec.read(r, Kind{}, v);
    } else if constexpr (requires { read_sequence(r, Kind{}, v, items); }) {
        read_sequence(r, Kind{}, v, items);
    } else {
        read_scalar(r, Kind{}, v);
    }
}

template <class Desc, class R, class Codec>
void read_record(Reader& r, R& rec, Codec& codec) {
    auto field = [&](auto i) {
        record::visit_field<Desc>(static_cast<std::size_t>(i), [&](const auto& f) {
            record::read_through(
                f, rec, [&](auto kind, auto& v) { read_value(r, kind, v, codec, f.items); },
                [&](auto kind) { codec.read(r, kind, rec); });
        });
    };
    if constexpr (requires { record::Description<Desc>::tuple; })
        r.read_fixed(record::field_count<Desc>, record::Description<Desc>::tuple, field);
    else
        r.read_record(SpecOf<Desc>::get(), field);
}

}  // namespace arbolet::persist::json
