// Streaming JSON reader that decodes documents straight into engine records.
//
// Errors carry the message of the document format and the position of the
// last byte consumed when the fault was found. Faults of the form (missing
// or duplicate field, wrong length, ...) are detected inside a container and
// take their position when the container gives up: after it has consumed
// the whitespace and closing bracket that directly follow, so a missing field
// is reported at the closing brace of its object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace arbolet::persist::json {

// A fault with its byte index; turned into line and column at the top.
struct Positioned {
    std::string message;
    std::size_t index;
};

// A fault of the form whose position is fixed by the enclosing container.
struct Unpositioned {
    std::string message;
};

// Fields of one record, in declared order.
struct RecordSpec {
    const char* expecting;   // "struct PointStore"
    const char* length;      // "struct PointStore with 13 elements"
    std::initializer_list<std::string_view> fields;
    std::uint32_t optional = 0;  // bit i: field i may be missing
};

class Reader {
public:
    explicit Reader(std::string_view text) : s_(text) {}

    // "message at line L column C".
    std::string describe(const Positioned& e) const;

    // After the top-level value: only whitespace may follow.
    void finish();

    // ---- scalar fields --------------------------------------------------
    std::uint64_t read_unsigned(const char* expecting);  // "u64" / "usize"
    std::uint8_t read_u8();
    std::int64_t read_i64();
    float read_f32();
    double read_f64();
    // A double, or `if_null` for null (bounds never set).
    double read_f64_or_null(double if_null);
    bool read_bool();
    // True when the next value is null, which is then consumed.
    bool take_null();
    // The text of the next value, whatever it is, skipped over: a nested
    // document that its own reader decodes.
    std::string_view raw_value();

    // ---- containers ------------------------------------------------------
    // A JSON array of any length; `element()` reads one element.
    template <class F>
    void read_seq(const char* expecting, F&& element) {
        begin_array(expecting);
        try {
            bool first = true;
            while (has_next(first)) element();
        } catch (Unpositioned& e) {
            throw fixed_in_array(e);
        }
        end_array();
    }

    // A JSON array of exactly `n` elements ("an array of length n").
    template <class F>
    void read_fixed(std::size_t n, const char* expecting, F&& element) {
        begin_array(expecting);
        try {
            bool first = true;
            for (std::size_t i = 0; i < n; ++i) {
                if (!has_next(first)) throw invalid_length(i, expecting);
                element(i);
            }
        } catch (Unpositioned& e) {
            throw fixed_in_array(e);
        }
        end_array();
    }

    // A record as an object (keys in any order, unknown keys skipped) or as
    // an array of its field values. `field(i)` reads the value of field i.
    // Returns the set of fields present (bit i). `spec` is a RecordSpec or
    // anything with the same members.
    template <class Spec, class F>
    std::uint32_t read_record(const Spec& spec, F&& field) {
        const int c = open_container(spec.expecting);
        std::uint32_t seen = 0;
        if (c == '[') {
            try {
                bool first = true;
                for (std::size_t i = 0; i < spec.fields.size(); ++i) {
                    if (!has_next(first)) throw invalid_length(i, spec.length);
                    field(static_cast<int>(i));
                    seen |= 1u << i;
                }
            } catch (Unpositioned& e) {
                throw fixed_in_array(e);
            }
            end_array();
            return seen;
        }
        try {
            bool first = true;
            while (next_key(first)) {
                const int i = field_index(std::span<const std::string_view>(spec.fields.begin(), spec.fields.size()));
                if (i < 0) {
                    colon();
                    skip_value();
                    continue;
                }
                if (seen & (1u << i)) throw Unpositioned{"duplicate field `" + std::string(key_) + "`"};
                seen |= 1u << i;
                colon();
                field(i);
            }
            std::size_t i = 0;
            for (std::string_view name : spec.fields) {
                if (!(seen & (1u << i)) && !(spec.optional & (1u << i)))
                    throw Unpositioned{"missing field `" + std::string(name) + "`"};
                ++i;
            }
        } catch (Unpositioned& e) {
            throw fixed_in_object(e);
        }
        end_object();
        return seen;
    }

    // ---- pieces for readers with their own shape (matrix, node variant) --
    // Skips whitespace; the next byte or -1 at the end.
    int peek_value();
    // Expects '[' or '{' (else the invalid-type fault naming `expecting`),
    // enters it and returns which one it was.
    int open_container(const char* expecting);
    void begin_array(const char* expecting);
    bool has_next(bool& first);
    void end_array();
    Positioned fixed_in_array(const Unpositioned& e);
    bool next_key(bool& first);
    std::string_view key() const { return key_; }
    void colon();
    void end_object();
    Positioned fixed_in_object(const Unpositioned& e);
    void skip_value();
    // A string value (opening quote next); returns its decoded text.
    std::string_view read_string();
    void enter();
    void leave() { ++depth_left_; }
    void eat() { ++pos_; }

    [[noreturn]] void fail_here(std::string message) const;  // at the last byte consumed
    [[noreturn]] void fail_peek(std::string message) const;  // at the byte looked at
    // "invalid type: <what the next value is>, expected <expecting>",
    // consuming that value when it is a scalar.
    [[noreturn]] void fail_invalid_type(const char* expecting);

    static Unpositioned invalid_length(std::size_t found, const char* expecting) {
        return Unpositioned{"invalid length " + std::to_string(found) + ", expected " + expecting};
    }

    std::size_t remaining() const { return s_.size() - pos_; }

private:
    struct Number {
        enum Kind : std::uint8_t { U64, I64, F64 } kind;
        std::uint64_t u;
        std::int64_t i;
        double f;
    };

    int field_index(std::span<const std::string_view> fields) const;
    Number parse_number();
    std::string found_number(const Number& n) const;
    std::string_view parse_string_body(bool validate_utf8);
    void parse_escape();
    void skip_string();
    void skip_number();
    std::uint16_t hex4();
    void ident(const char* rest);
    int next_or_null() { return pos_ < s_.size() ? static_cast<unsigned char>(s_[pos_++]) : -1; }
    int peek_or_null() const { return pos_ < s_.size() ? static_cast<unsigned char>(s_[pos_]) : -1; }

    std::string_view s_;
    std::size_t pos_ = 0;
    int depth_left_ = 128;
    std::string_view key_;
    std::string scratch_;
    std::vector<char> frames_;
};

}  // namespace arbolet::persist::json
