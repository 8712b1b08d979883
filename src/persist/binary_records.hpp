// Described records in the compact binary form, for the records stored
// field by field (configurations and generator states): sizes and counts as
// variable-length integers, doubles as their 8 bytes, flags as one byte and
// fixed sequences as fixed-width words, an optional value as a flag byte
// and the value when it is there. The other records are stored in a
// form of their own that keeps only what cannot be recomputed
// (binary_forest.cpp, binary_mstream.cpp).
#pragma once

#include <type_traits>

#include "persist/binary_io.hpp"
#include "persist/record_description.hpp"

namespace arbolet::persist::binary {

template <class Desc, class R>
void write_fields(ByteWriter& w, const R& rec) {
    record::for_each_field<Desc>([&](const auto& f) {
        using Kind = typename std::remove_cvref_t<decltype(f)>::kind;
        const auto& v = f.of(rec);
        if constexpr (std::is_same_v<Kind, record::Usize> || std::is_same_v<Kind, record::U64>)
            w.var(v);
        else if constexpr (std::is_same_v<Kind, record::F64>)
            w.f64(v);
        else if constexpr (std::is_same_v<Kind, record::Bool>)
            w.u8(v ? 1 : 0);
        else if constexpr (std::is_same_v<Kind, record::OptionalU64>) {
            w.u8(v ? 1 : 0);
            if (v) w.var(*v);
        } else if constexpr (std::is_same_v<Kind, record::Fixed<record::U64, 4>>)
            for (std::uint64_t word : v) w.u64(word);
        else
            static_assert(std::is_same_v<Kind, record::Usize>, "no field-by-field binary form for this kind");
    });
}

template <class Desc, class R>
void read_fields(ByteReader& r, R& rec) {
    record::for_each_field<Desc>([&](const auto& f) {
        using Kind = typename std::remove_cvref_t<decltype(f)>::kind;
        auto& v = f.of(rec);
        if constexpr (std::is_same_v<Kind, record::Usize> || std::is_same_v<Kind, record::U64>)
            v = r.var();
        else if constexpr (std::is_same_v<Kind, record::F64>)
            v = r.f64();
        else if constexpr (std::is_same_v<Kind, record::Bool>)
            v = r.flag();
        else if constexpr (std::is_same_v<Kind, record::OptionalU64>) {
            if (r.flag()) v = r.var();
        } else if constexpr (std::is_same_v<Kind, record::Fixed<record::U64, 4>>)
            for (std::uint64_t& word : v) word = r.u64();
        else
            static_assert(std::is_same_v<Kind, record::Usize>, "no field-by-field binary form for this kind");
    });
}

}  // namespace arbolet::persist::binary
