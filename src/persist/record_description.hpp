// One description per persisted record: its name and its fields in order,
// each with the way to reach its value and the kind of value it holds. The
// JSON writer, the JSON reader and the binary codec all walk these
// descriptions, so a field is added or renamed in one place and the counts
// in the readers' messages ("struct PointStore with 13 elements") follow.
//
// A description is a specialisation of `Description<Record>` holding
// `name` and a tuple `fields`; optionally `shape` (default "struct"),
// `optional`, a bit per field that a document may leave out, `order`, the
// order in which the writers put the fields when it is not the declared one
// (the declared order is the one of a record given as an array, and of the
// readers' messages), and `tuple`, for a record written as a bare array of
// its values: what the reader expects instead ("a pair of step and value").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <utility>

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
struct ListOf {  // a sequence of any length
    using element = Element;
};
template <class Element, std::size_t N>
struct Fixed {};   // a sequence of exactly N
template <class Element, std::size_t Axes>
struct Array {};   // a row-major n-dimensional array, as Matrix holds it
struct OptionalU64 {};  // a u64 or nothing (null)
// A u64 or nothing, stored in the compact form as one number: 0 for
// nothing, else the value plus one.
struct OptionalCount {};
// Doubles where null stands for an infinity of the sign given (bounds that
// were never set).
template <int Sign>
struct BoundList {};
// A value that is no plain member: it lives in a table outside the record,
// or is held only in part, or has an encoding of its own. Each codec handles
// the tag itself, given the member or, for a computed field, the record.
template <class Tag>
struct Special {};

// ---- fields -----------------------------------------------------------------

// How a sequence is bounded on reading: the word for its items in the
// compact form's messages ("declared count of levels exceeds the data"; the
// field's name when empty), and how many items a document reader keeps, so
// that a list far longer than any state holds is not stored whole before
// the load checks refuse it.
struct Items {
    std::string_view word{};
    std::uint64_t kept = UINT64_MAX;
};

struct FieldText {
    std::string_view name;
    Items items{};
    constexpr std::string_view items_word() const { return items.word.empty() ? name : items.word; }
};

// A member of the record.
template <auto Member, class Kind>
struct Field : FieldText {
    using kind = Kind;
    template <class R>
    static auto& of(R& record) {
        return record.*Member;
    }
};

// A value reached through a getter and a setter.
template <auto Get, auto Set, class Kind>
struct Accessed : FieldText {
    using kind = Kind;
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
struct Computed : FieldText {
    using kind = Special<Tag>;
};

// A field of a record held in a member of the record walked (the settings
// inside a detector): a layout may interleave them with the detector's own.
template <auto Outer, class Inner>
struct Through : Inner {
    template <class R>
    static auto& of(R& record) {
        return Inner::of(record.*Outer);
    }
};

template <auto Member, class Kind>
constexpr Field<Member, Kind> member(std::string_view name, Kind, Items items = {}) {
    return {{name, items}};
}
template <auto Get, auto Set, class Kind>
constexpr Accessed<Get, Set, Kind> accessed(std::string_view name, Kind) {
    return {{name}};
}
template <class Tag>
constexpr Computed<Tag> computed(std::string_view name) {
    return {{name}};
}

// Fields From..To-1 of a tuple of fields, each reached through Outer when
// it is given.
template <std::size_t From, std::size_t To, auto Outer = nullptr, class Fields>
constexpr auto fields_between(const Fields& fields) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        if constexpr (Outer == nullptr)
            return std::tuple{std::get<From + I>(fields)...};
        else
            return std::tuple{Through<Outer, std::tuple_element_t<From + I, Fields>>{std::get<From + I>(fields)}...};
    }(std::make_index_sequence<To - From>{});
}

template <class Record>
struct Description;

// The codec of records without Special fields: the field walks still name
// its calls, which can never be made.
struct NoSpecials {
    template <class... Args>
    void write(Args&&...) = delete;
    template <class... Args>
    void read(Args&&...) = delete;
};

// value(kind, v) with the value of field f of the record, whether a member
// or reached through a getter; special(kind) for a computed field.
template <class F, class R, class Value, class Special>
void write_through(const F& f, const R& rec, Value&& value, Special&& special) {
    using Kind = typename F::kind;
    if constexpr (requires { f.of(rec); })
        value(Kind{}, f.of(rec));
    else if constexpr (requires { f.get(rec); })
        value(Kind{}, f.get(rec));
    else
        special(Kind{});
}

// value(kind, v) with the place of field f's value, set through the
// setter afterwards where there is one; special(kind) for a computed field.
template <class F, class R, class Value, class Special>
void read_through(const F& f, R& rec, Value&& value, Special&& special) {
    using Kind = typename F::kind;
    if constexpr (requires { f.of(rec); }) {
        value(Kind{}, f.of(rec));
    } else if constexpr (requires { f.get(rec); }) {
        decltype(f.get(rec)) v{};
        value(Kind{}, v);
        f.set(rec, v);
    } else {
        special(Kind{});
    }
}

template <class Record>
constexpr std::size_t field_count = std::tuple_size_v<std::remove_cvref_t<decltype(Description<Record>::fields)>>;

// visit(field) for every field, in order.
template <class Record, class Visit>
inline void for_each_field(Visit&& visit) {
    std::apply([&](const auto&... f) { (visit(f), ...); }, Description<Record>::fields);
}

// Field positions in the order the writers put them.
template <class Record>
constexpr auto written_order() {
    if constexpr (requires { Description<Record>::order; })
        return Description<Record>::order;
    else
        return []<std::size_t... I>(std::index_sequence<I...>) {
            return std::array<std::size_t, sizeof...(I)>{I...};
        }(std::make_index_sequence<field_count<Record>>{});
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

// Fields from this position on may be missing at the end of a compact
// form: they were added after states were stored without them, and load
// with the values of a default-made record.
template <class Record>
constexpr std::size_t trailing_from() {
    if constexpr (requires { Description<Record>::trailing_from; })
        return Description<Record>::trailing_from;
    else
        return field_count<Record>;
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
// records that do not use them stay as they were. In a compact layout they
// are a group at its end, stored only while the first of them is not at
// that value, since a value's absence there is known only at the end.
template <class Record>
constexpr std::uint32_t written_unless_default_fields() {
    if constexpr (requires { Description<Record>::written_unless_default; })
        return Description<Record>::written_unless_default;
    else
        return 0;
}

}  // namespace arbolet::persist::record
