// Described records in the compact binary form, walked in the order the
// writers put their fields: sizes and counts as variable-length integers,
// doubles and floats as their bytes, flags as one byte, fixed sequences of
// u64 as fixed-width words, an optional value as a flag byte and the value
// when it is there, a list as its length and its items. A codec passed
// along handles the Special tags (`codec.write(w, tag, value)` and
// `codec.read(r, tag, value)`, the value being the record for a computed
// field). The Forest's trees, sampler tables and point rows and the MStream's
// sketches are stored in a form of their own that keeps only what cannot be
// recomputed (binary_forest.cpp, binary_mstream.cpp).
#pragma once

#include <bit>
#include <type_traits>

#include "persist/binary_io.hpp"
#include "persist/record_description.hpp"

namespace arbolet::persist::binary {

// Bits an item of this kind takes at least, so that a declared count is
// refused before allocation when the remaining bytes could not hold it.
template <class Kind>
constexpr std::uint64_t least_bits();

template <class Desc>
constexpr std::uint64_t least_record_bits() {
    return std::apply(
        [](const auto&... f) { return (std::uint64_t{0} + ... + least_bits<typename std::remove_cvref_t<decltype(f)>::kind>()); },
        record::Description<Desc>::fields);
}

template <class Kind>
constexpr std::uint64_t least_bits() {
    using namespace record;
    if constexpr (std::is_same_v<Kind, F64>)
        return 64;
    else if constexpr (std::is_same_v<Kind, F32>)
        return 32;
    else if constexpr (std::is_same_v<Kind, Fixed<U64, 4>>)
        return 256;
    else
        return 8;  // a number, flag, length or Special takes a byte at least
}

// A record of a list, whose items are described records (the Nested kind
// names no type of its own).
template <class V>
using Item = typename V::value_type;

using record::NoSpecials;

template <class Desc, class R, class Codec = NoSpecials>
void write_record(ByteWriter& w, const R& rec, Codec&& codec = {});
template <class Desc, class R, class Codec = NoSpecials>
void read_record(ByteReader& r, R& rec, Codec&& codec = {});

template <class Kind, class V, class Codec>
void write_value(ByteWriter& w, Kind, const V& v, Codec& codec) {
    using namespace record;
    if constexpr (std::is_same_v<Kind, Usize> || std::is_same_v<Kind, U64>)
        w.var(v);
    else if constexpr (std::is_same_v<Kind, F64>)
        w.f64(v);
    else if constexpr (std::is_same_v<Kind, F32>)
        w.f32(v);
    else if constexpr (std::is_same_v<Kind, Bool>)
        w.u8(v ? 1 : 0);
    else if constexpr (std::is_same_v<Kind, OptionalU64>) {
        w.u8(v ? 1 : 0);
        if (v) w.var(*v);
    } else if constexpr (std::is_same_v<Kind, OptionalCount>)
        w.var(v ? *v + 1 : 0);
    else if constexpr (std::is_same_v<Kind, Fixed<U64, 4>>)
        for (std::uint64_t word : v) w.u64(word);
    else if constexpr (std::is_same_v<Kind, Nested>)
        write_record<V>(w, v, codec);
    else if constexpr (std::is_same_v<Kind, ListOf<Nested>>) {
        w.var(v.size());
        for (const auto& x : v) write_record<Item<V>>(w, x, codec);
    } else if constexpr (requires { typename Kind::element; }) {
        w.var(v.size());
        for (const auto& x : v) write_value(w, typename Kind::element{}, x, codec);
    } else
        codec.write(w, Kind{}, v);
}

template <class Kind, class V, class Codec>
void read_value(ByteReader& r, Kind, V& v, Codec& codec, std::string_view items) {
    using namespace record;
    if constexpr (std::is_same_v<Kind, Usize> || std::is_same_v<Kind, U64>)
        v = r.var();
    else if constexpr (std::is_same_v<Kind, F64>)
        v = r.f64();
    else if constexpr (std::is_same_v<Kind, F32>)
        v = r.f32();
    else if constexpr (std::is_same_v<Kind, Bool>)
        v = r.flag();
    else if constexpr (std::is_same_v<Kind, OptionalU64>) {
        if (r.flag()) v = r.var();
        else v.reset();
    } else if constexpr (std::is_same_v<Kind, OptionalCount>) {
        const std::uint64_t n = r.var();
        if (n == 0) v.reset();
        else v = n - 1;
    } else if constexpr (std::is_same_v<Kind, Fixed<U64, 4>>)
        for (std::uint64_t& word : v) word = r.u64();
    else if constexpr (std::is_same_v<Kind, Nested>)
        read_record<V>(r, v, codec);
    else if constexpr (std::is_same_v<Kind, ListOf<Nested>>) {
        v.resize(r.count(r.var(), least_record_bits<Item<V>>(), std::string(items).c_str()));
        for (auto& x : v) read_record<Item<V>>(r, x, codec);
    } else if constexpr (requires { typename Kind::element; }) {
        using Element = typename Kind::element;
        v.resize(r.count(r.var(), least_bits<Element>(), std::string(items).c_str()));
        for (auto& x : v) read_value(r, Element{}, x, codec, items);
    } else
        codec.read(r, Kind{}, v);
}

template <class Desc, std::size_t Position, class R, class Codec>
void write_field(ByteWriter& w, const R& rec, Codec& codec) {
    constexpr std::size_t I = record::written_order<Desc>()[Position];
    constexpr const auto& f = std::get<I>(record::Description<Desc>::fields);
    // Settings written only while the first of them is not a default-made
    // record's: a group at the end, which its absence leaves at the default.
    constexpr std::uint32_t group = record::written_unless_default_fields<Desc>();
    if constexpr ((group >> I & 1u) != 0) {
        constexpr const auto& first = std::get<std::countr_zero(group)>(record::Description<Desc>::fields);
        static const R made{};
        if (first.of(rec) == first.of(made)) return;
    }
    record::write_through(
        f, rec, [&](auto kind, const auto& v) { write_value(w, kind, v, codec); },
        [&](auto kind) { codec.write(w, kind, rec); });
}

template <class Desc, std::size_t Position, class R, class Codec>
void read_field(ByteReader& r, R& rec, Codec& codec) {
    constexpr std::size_t I = record::written_order<Desc>()[Position];
    constexpr const auto& f = std::get<I>(record::Description<Desc>::fields);
    constexpr std::uint32_t group = record::written_unless_default_fields<Desc>();
    if constexpr ((group >> I & 1u) != 0 && std::countr_zero(group) != I) {
        constexpr const auto& first = std::get<std::countr_zero(group)>(record::Description<Desc>::fields);
        static const R made{};
        if (first.of(rec) == first.of(made)) return;
    } else if constexpr (I >= record::trailing_from<Desc>()) {
        if (r.at_end()) return;
    }
    record::read_through(
        f, rec, [&](auto kind, auto& v) { read_value(r, kind, v, codec, f.items_word()); },
        [&](auto kind) { codec.read(r, kind, rec); });
}

template <class Desc, class R, class Codec>
void write_record(ByteWriter& w, const R& rec, Codec&& codec) {
    [&]<std::size_t... P>(std::index_sequence<P...>) {
        (write_field<Desc, P>(w, rec, codec), ...);
    }(std::make_index_sequence<record::field_count<Desc>>{});
}

template <class Desc, class R, class Codec>
void read_record(ByteReader& r, R& rec, Codec&& codec) {
    [&]<std::size_t... P>(std::index_sequence<P...>) {
        (read_field<Desc, P>(r, rec, codec), ...);
    }(std::make_index_sequence<record::field_count<Desc>>{});
}

}  // namespace arbolet::persist::binary
