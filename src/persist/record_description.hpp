// One description per persisted record: its name and its fields in order,
// each with the way to reach its value and the kind of value it holds. The
// JSON writer, the JSON reader and the binary codec all walk these
// descriptions, so a field is added or renamed in one place and the counts
// in the readers' messages ("struct PointStore with 13 elements") follow.
//
// A description is a specialisation of `Description<Record>` holding
// `name` and a tuple `fields`; optionally `shape` (default "struct") and
// `optional`, a bit per field that a document may leave out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>

namespace arbolet::persist::record {

// ---- kinds: how a value is encoded; each codec has one encoding per kind ----

struct Usize {};   // an unsigned size or index
struct U64 {};     // an unsigned 64-bit count or value
struct I64 {};
struct F64 {};
struct F32 {};
struct Bool {};
struct Nested {};  // a record with a description of its own
template <class Element>
struct ListOf {};  // a sequence of any length
template <class Element, std::size_t N>
struct Fixed {};   // a sequence of exactly N
template <class Element, std::size_t Axes>
struct Array {};   // a row-major n-dimensional array, as Matrix holds it
struct OptionalU64 {};  // a u64 or nothing (null)
// Doubles where null stands for an infinity of the sign given (bounds that
// were never set).
template <int Sign>
struct BoundList {};
// A value that is no plain member: it lives in a table outside the record,
// or is held only in part. Each codec handles the tag itself.
template <class Tag>
struct Special {};

// ---- fields -----------------------------------------------------------------

// A member of the record.
template <auto Member, class Kind>
struct Field {
    using kind = Kind;
    std::string_view name;
    template <class R>
    static auto& of(R& record) {
        return record.*Member;
    }
};

// A value reached through a getter and a setter.
template <auto Get, auto Set, class Kind>
struct Accessed {
    using kind = Kind;
    std::string_view name;
    template <class R>
    static auto get(const R& record) {
        return (record.*Get)();
    }
    template <class R, class V>
    static void set(R& record, V value) {
        (record.*Set)(value);
    }
};

// A value with a tag of its own (see Special).
template <class Tag>
struct Computed {
    using kind = Special<Tag>;
    std::string_view name;
};

template <auto Member, class Kind>
constexpr Field<Member, Kind> member(std::string_view name, Kind) {
    return {name};
}
template <auto Get, auto Set, class Kind>
constexpr Accessed<Get, Set, Kind> accessed(std::string_view name, Kind) {
    return {name};
}
template <class Tag>
constexpr Computed<Tag> computed(std::string_view name) {
    return {name};
}

template <class Record>
struct Description;

template <class Record>
constexpr std::size_t field_count = std::tuple_size_v<std::remove_cvref_t<decltype(Description<Record>::fields)>>;

// visit(field) for every field, in order.
template <class Record, class Visit>
inline void for_each_field(Visit&& visit) {
    std::apply([&](const auto&... f) { (visit(f), ...); }, Description<Record>::fields);
}

// visit(field) for field i.
template <class Record, class Visit>
inline void visit_field(std::size_t i, Visit&& visit) {
    std::size_t k = 0;
    std::apply([&](const auto&... f) { ((k++ == i ? static_cast<void>(visit(f)) : void()), ...); },
               Description<Record>::fields);
}

template <class Record>
constexpr std::string_view shape_of() {
    if constexpr (requires { Description<Record>::shape; })
        return Description<Record>::shape;
    else
        return "struct";
}

template <class Record>
constexpr std::uint32_t optional_fields() {
    if constexpr (requires { Description<Record>::optional; })
        return Description<Record>::optional;
    else
        return 0;
}

// Fields left out of a written document while they hold the value of a
// default-made record: settings added later, so that the documents of
// records that do not use them stay as they were.
template <class Record>
constexpr std::uint32_t written_unless_default_fields() {
    if constexpr (requires { Description<Record>::written_unless_default; })
        return Description<Record>::written_unless_default;
    else
        return 0;
}

}  // namespace arbolet::persist::record
