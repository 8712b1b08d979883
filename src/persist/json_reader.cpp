#include "persist/json_reader.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

#include "common/debug_text.hpp"
#include "common/platform.hpp"
#include "persist/float_text.hpp"

namespace arbolet::persist::json {

namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += len;
    }
    return true;
}

}  // namespace

std::string Reader::describe(const Positioned& e) const {
    const std::size_t i = e.index < s_.size() ? e.index : s_.size();
    std::size_t line = 1;
    std::size_t start_of_line = 0;
    for (std::size_t k = 0; k < i; ++k)
        if (s_[k] == '\n') {
            ++line;
            start_of_line = k + 1;
        }
    return e.message + " at line " + std::to_string(line) + " column " + std::to_string(i - start_of_line);
}

void Reader::fail_here(std::string message) const { throw Positioned{std::move(message), pos_}; }

void Reader::fail_peek(std::string message) const {
    throw Positioned{std::move(message), pos_ < s_.size() ? pos_ + 1 : s_.size()};
}

void Reader::finish() {
    if (peek_value() >= 0) fail_peek("trailing characters");
}

int Reader::peek_value() {
    const std::size_t n = s_.size();
    while (pos_ < n) {
        const char c = s_[pos_];
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
        ++pos_;
    }
    return -1;
}

void Reader::enter() {
    if (--depth_left_ == 0) fail_peek("recursion limit exceeded");
}

void Reader::ident(const char* rest) {
    for (const char* p = rest; *p; ++p) {
        if (pos_ == s_.size()) fail_here("EOF while parsing a value");
        if (s_[pos_++] != *p) fail_here("expected ident");
    }
}

// ---- numbers -----------------------------------------------------------------

Reader::Number Reader::parse_number() {
    // Scans with a local cursor (the hot loop of every document) and
    // stores it back before any fault is raised.
    const char* const begin = s_.data();
    const char* const end = begin + s_.size();
    const char* const start = begin + pos_;
    const char* p = start;
    auto at = [&](const char* q) { return q < end ? static_cast<unsigned char>(*q) : -1; };
    auto sync = [&] { pos_ = static_cast<std::size_t>(p - begin); };

    bool negative = false;
    if (at(p) == '-') {
        ++p;
        negative = true;
    }
    std::uint64_t significand = 0;
    bool overflow = false;
    bool nonzero = false;
    // All digits of the significand, integer and fraction, while they fit.
    std::uint64_t mantissa = 0;
    bool mantissa_fits = true;
    std::int64_t fraction_digits = 0;
    // Decimal exponent of the first non-zero digit, ignoring the explicit
    // exponent; tells an overflow from an underflow.
    std::int64_t lead = 0;
    bool lead_known = false;
    int c = at(p);
    if (c >= 0) ++p;
    if (c == '0') {
        if (is_digit(at(p))) {
            sync();
            fail_peek("invalid number");
        }
    } else if (c >= '1' && c <= '9') {
        significand = static_cast<std::uint64_t>(c - '0');
        nonzero = true;
        lead_known = true;
        while (p < end && is_digit(*p)) {
            const unsigned d = static_cast<unsigned>(*p - '0');
            ++p;
            ++lead;
            if (!overflow && (mul_overflows<std::uint64_t>(significand, 10, significand) ||
                              add_overflows<std::uint64_t>(significand, d, significand)))
                overflow = true;
        }
    } else {
        sync();
        fail_here("invalid number");
    }
    bool integral = true;
    int q = at(p);
    if (q == '.') {
        ++p;
        integral = false;
        const char* digits = p;
        mantissa = significand;
        mantissa_fits = !overflow;
        while (p < end && is_digit(*p)) {
            if (mantissa_fits && (mul_overflows<std::uint64_t>(mantissa, 10, mantissa) ||
                                  add_overflows<std::uint64_t>(mantissa, static_cast<unsigned>(*p - '0'), mantissa)))
                mantissa_fits = false;
            if (*p != '0' && !lead_known) {
                lead = -(p - digits + 1);
                lead_known = true;
                nonzero = true;
            }
            ++p;
        }
        if (p == digits) {
            sync();
            if (p < end) fail_peek("invalid number");
            fail_peek("EOF while parsing a value");
        }
        fraction_digits = p - digits;
        q = at(p);
    }
    std::int64_t exponent = 0;
    if (q == 'e' || q == 'E') {
        ++p;
        integral = false;
        bool positive_exp = true;
        q = at(p);
        if (q == '+') {
            ++p;
        } else if (q == '-') {
            ++p;
            positive_exp = false;
        }
        c = at(p);
        if (c >= 0) ++p;
        if (!is_digit(c)) {
            sync();
            fail_here("invalid number");
        }
        std::int32_t e = c - '0';
        constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
        while (p < end && is_digit(*p)) {
            const std::int32_t d = *p - '0';
            ++p;
            if (e > kMax / 10 || (e == kMax / 10 && d > kMax % 10)) {
                sync();
                if (nonzero && positive_exp) fail_here("number out of range");
                while (p < end && is_digit(*p)) ++p;
                sync();
                return Number{Number::F64, 0, 0, negative ? -0.0 : 0.0};
            }
            e = e * 10 + d;
        }
        exponent = positive_exp ? e : -static_cast<std::int64_t>(e);
    }
    sync();
    if (integral && !overflow) {
        if (!negative) return Number{Number::U64, significand, 0, 0.0};
        if (significand == 0) return Number{Number::F64, 0, 0, -0.0};
        const std::int64_t v = static_cast<std::int64_t>(0 - significand);
        if (v >= 0) return Number{Number::F64, 0, 0, -static_cast<double>(significand)};
        return Number{Number::I64, 0, v, 0.0};
    }
    if (fraction_digits == 0) {
        mantissa = significand;
        mantissa_fits = !overflow;
    }
    // Exact operands and one rounding: correctly rounded without the
    // general algorithm, which covers nearly every number we write.
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const std::int64_t e10 = exponent - fraction_digits;
    if (mantissa_fits && mantissa <= (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
        double v = static_cast<double>(mantissa);
        v = e10 < 0 ? v / kPow10[-e10] : v * kPow10[e10];
        return Number{Number::F64, 0, 0, negative ? -v : v};
    }
    double value = 0.0;
    const auto res = std::from_chars(start, p, value);
    if (res.ec == std::errc::result_out_of_range) {
        if (lead + exponent > 0) fail_here("number out of range");
        value = negative ? -0.0 : 0.0;
    }
    return Number{Number::F64, 0, 0, value};
}

std::string Reader::found_number(const Number& n) const {
    switch (n.kind) {
        case Number::U64: return "integer `" + std::to_string(n.u) + "`";
        case Number::I64: return "integer `" + std::to_string(n.i) + "`";
        default: return "floating point `" + plain_float_text(n.f) + "`";
    }
}

void Reader::skip_number() {
    if (peek_or_null() == '-') ++pos_;
    const int c = next_or_null();
    if (c == '0') {
        if (is_digit(peek_or_null())) fail_peek("invalid number");
    } else if (c >= '1' && c <= '9') {
        while (is_digit(peek_or_null())) ++pos_;
    } else {
        fail_here("invalid number");
    }
    int p = peek_or_null();
    if (p == '.') {
        ++pos_;
        bool any = false;
        while (is_digit(peek_or_null())) {
            ++pos_;
            any = true;
        }
        if (!any) fail_peek("invalid number");
        p = peek_or_null();
    }
    if (p == 'e' || p == 'E') {
        ++pos_;
        p = peek_or_null();
        if (p == '+' || p == '-') ++pos_;
        if (!is_digit(next_or_null())) fail_here("invalid number");
        while (is_digit(peek_or_null())) ++pos_;
    }
}

std::uint64_t Reader::read_unsigned(const char* expecting) {
    const int c = peek_value();
    if (c < 0) fail_peek("EOF while parsing a value");
    if (c != '-' && !is_digit(c)) fail_invalid_type(expecting);
    const Number n = parse_number();
    if (n.kind == Number::U64) return n.u;
    if (n.kind == Number::I64) fail_here("invalid value: " + found_number(n) + ", expected " + expecting);
    fail_here("invalid type: " + found_number(n) + ", expected " + expecting);
}

std::uint8_t Reader::read_u8() {
    const int c = peek_value();
    if (c < 0) fail_peek("EOF while parsing a value");
    if (c != '-' && !is_digit(c)) fail_invalid_type("u8");
    const Number n = parse_number();
    if (n.kind == Number::U64 && n.u <= 0xFF) return static_cast<std::uint8_t>(n.u);
    if (n.kind == Number::F64) fail_here("invalid type: " + found_number(n) + ", expected u8");
    fail_here("invalid value: " + found_number(n) + ", expected u8");
}

std::int64_t Reader::read_i64() {
    const int c = peek_value();
    if (c < 0) fail_peek("EOF while parsing a value");
    if (c != '-' && !is_digit(c)) fail_invalid_type("i64");
    const Number n = parse_number();
    if (n.kind == Number::I64) return n.i;
    if (n.kind == Number::U64) {
        if (n.u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(n.u);
        fail_here("invalid value: " + found_number(n) + ", expected i64");
    }
    fail_here("invalid type: " + found_number(n) + ", expected i64");
}

float Reader::read_f32() {
    const int c = peek_value();
    if (c < 0) fail_peek("EOF while parsing a value");
    if (c != '-' && !is_digit(c)) fail_invalid_type("f32");
    const Number n = parse_number();
    // Integers convert straight to single precision; decimals round to
    // double first.
    if (n.kind == Number::U64) return static_cast<float>(n.u);
    if (n.kind == Number::I64) return static_cast<float>(n.i);
    return static_cast<float>(n.f);
}

double Reader::read_f64() {
    const int c = peek_value();
    if (c < 0) fail_peek("EOF while parsing a value");
    if (c != '-' && !is_digit(c)) fail_invalid_type("f64");
    const Number n = parse_number();
    if (n.kind == Number::U64) return static_cast<double>(n.u);
    if (n.kind == Number::I64) return static_cast<double>(n.i);
    return n.f;
}

double Reader::read_f64_or_null(double if_null) {
    if (take_null()) return if_null;
    return read_f64();
}

bool Reader::take_null() {
    if (peek_value() != 'n') return false;
    eat();
    ident("ull");
    return true;
}

bool Reader::read_bool() {
    const int c = peek_value();
    if (c == 't') {
        eat();
        ident("rue");
        return true;
    }
    if (c == 'f') {
        eat();
        ident("alse");
        return false;
    }
    if (c < 0) fail_peek("EOF while parsing a value");
    fail_invalid_type("a boolean");
}

void Reader::fail_invalid_type(const char* expecting) {
    std::string found;
    switch (peek_value()) {
        case 'n':
            eat();
            ident("ull");
            found = "null";
            break;
        case 't':
            eat();
            ident("rue");
            found = "boolean `true`";
            break;
        case 'f':
            eat();
            ident("alse");
            found = "boolean `false`";
            break;
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            found = found_number(parse_number());
            break;
        case '"':
            eat();
            found = "string " + debug_quote(parse_string_body(true), kMostQuotedBytes);
            break;
        case '[': found = "sequence"; break;
        case '{': found = "map"; break;
        default: fail_peek("expected value");
    }
    fail_here("invalid type: " + found + ", expected " + expecting);
}

// ---- strings -----------------------------------------------------------------

std::uint16_t Reader::hex4() {
    if (s_.size() - pos_ < 4) {
        pos_ = s_.size();
        fail_here("EOF while parsing a string");
    }
    int v = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
        const int h = hex_value(static_cast<unsigned char>(s_[pos_ + k]));
        if (h < 0) ok = false;
        v = v * 16 + (h < 0 ? 0 : h);
    }
    pos_ += 4;
    if (!ok) fail_here("invalid escape");
    return static_cast<std::uint16_t>(v);
}

void Reader::parse_escape() {
    if (pos_ == s_.size()) fail_here("EOF while parsing a string");
    const char ch = s_[pos_++];
    switch (ch) {
        case '"': scratch_ += '"'; return;
        case '\\': scratch_ += '\\'; return;
        case '/': scratch_ += '/'; return;
        case 'b': scratch_ += '\b'; return;
        case 'f': scratch_ += '\f'; return;
        case 'n': scratch_ += '\n'; return;
        case 'r': scratch_ += '\r'; return;
        case 't': scratch_ += '\t'; return;
        case 'u': break;
        default: fail_here("invalid escape");
    }
    const std::uint16_t n1 = hex4();
    if (n1 >= 0xDC00 && n1 <= 0xDFFF) fail_here("lone leading surrogate in hex escape");
    if (n1 < 0xD800 || n1 > 0xDBFF) {
        append_utf8(scratch_, n1);
        return;
    }
    for (const char expected : {'\\', 'u'}) {
        if (pos_ == s_.size()) fail_here("EOF while parsing a string");
        if (s_[pos_++] != expected) fail_here("unexpected end of hex escape");
    }
    const std::uint16_t n2 = hex4();
    if (n2 < 0xDC00 || n2 > 0xDFFF) fail_here("lone leading surrogate in hex escape");
    append_utf8(scratch_, ((static_cast<std::uint32_t>(n1 - 0xD800) << 10) | (n2 - 0xDC00u)) + 0x10000u);
}

std::string_view Reader::parse_string_body(bool validate_utf8) {
    scratch_.clear();
    std::size_t start = pos_;
    bool copied = false;
    const std::size_t n = s_.size();
    for (;;) {
        while (pos_ < n) {
            const unsigned char b = static_cast<unsigned char>(s_[pos_]);
            if (b == '"' || b == '\\' || b < 0x20) break;
            ++pos_;
        }
        if (pos_ == n) fail_here("EOF while parsing a string");
        const char b = s_[pos_];
        if (b == '"') {
            std::string_view out;
            if (copied) {
                scratch_.append(s_.data() + start, pos_ - start);
                out = scratch_;
            } else {
                out = s_.substr(start, pos_ - start);
            }
            ++pos_;
            if (validate_utf8 && !valid_utf8(out)) fail_here("invalid unicode code point");
            return out;
        }
        if (b == '\\') {
            scratch_.append(s_.data() + start, pos_ - start);
            copied = true;
            ++pos_;
            parse_escape();
            start = pos_;
            continue;
        }
        ++pos_;
        fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    }
}

std::string_view Reader::read_string() {
    eat();
    return parse_string_body(true);
}

void Reader::skip_string() {
    const std::size_t n = s_.size();
    for (;;) {
        while (pos_ < n) {
            const unsigned char b = static_cast<unsigned char>(s_[pos_]);
            if (b == '"' || b == '\\' || b < 0x20) break;
            ++pos_;
        }
        if (pos_ == n) fail_here("EOF while parsing a string");
        const char b = s_[pos_];
        if (b == '"') {
            ++pos_;
            return;
        }
        if (b != '\\') fail_here("control character (\\u0000-\\u001F) found while parsing a string");
        ++pos_;
        if (pos_ == n) fail_here("EOF while parsing a string");
        switch (s_[pos_++]) {
            case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
            case 'u': hex4(); break;
            default: fail_here("invalid escape");
        }
    }
}

// ---- containers --------------------------------------------------------------

int Reader::open_container(const char* expecting) {
    const int c = peek_value();
    if (c < 0) fail_peek("EOF while parsing a value");
    if (c != '[' && c != '{') fail_invalid_type(expecting);
    enter();
    eat();
    return c;
}

void Reader::begin_array(const char* expecting) {
    const int c = peek_value();
    if (c < 0) fail_peek("EOF while parsing a value");
    if (c != '[') fail_invalid_type(expecting);
    enter();
    eat();
}

bool Reader::has_next(bool& first) {
    const int c = peek_value();
    if (c < 0) fail_peek("EOF while parsing a list");
    if (c == ']') return false;
    if (first) {
        first = false;
        return true;
    }
    if (c != ',') fail_peek("expected `,` or `]`");
    eat();
    const int d = peek_value();
    if (d == ']') fail_peek("trailing comma");
    if (d < 0) fail_peek("EOF while parsing a value");
    return true;
}

void Reader::end_array() {
    leave();
    const int c = peek_value();
    if (c == ']') {
        eat();
        return;
    }
    if (c == ',') {
        eat();
        if (peek_value() == ']') fail_peek("trailing comma");
        fail_peek("trailing characters");
    }
    if (c < 0) fail_peek("EOF while parsing a list");
    fail_peek("trailing characters");
}

Positioned Reader::fixed_in_array(const Unpositioned& e) {
    const int c = peek_value();
    if (c == ']') {
        eat();
    } else if (c == ',') {
        eat();
        peek_value();
    }
    return Positioned{e.message, pos_};
}

bool Reader::next_key(bool& first) {
    int c = peek_value();
    if (c < 0) fail_peek("EOF while parsing an object");
    if (c == '}') return false;
    if (c == ',' && !first) {
        eat();
        c = peek_value();
    } else if (first) {
        first = false;
    } else {
        fail_peek("expected `,` or `}`");
    }
    if (c == '"') {
        eat();
        key_ = parse_string_body(true);
        return true;
    }
    if (c == '}') fail_peek("trailing comma");
    if (c < 0) fail_peek("EOF while parsing a value");
    fail_peek("key must be a string");
}

int Reader::field_index(std::span<const std::string_view> fields) const {
    int i = 0;
    for (std::string_view name : fields) {
        if (name == key_) return i;
        ++i;
    }
    return -1;
}

void Reader::colon() {
    const int c = peek_value();
    if (c == ':') {
        eat();
        return;
    }
    if (c < 0) fail_peek("EOF while parsing an object");
    fail_peek("expected `:`");
}

void Reader::end_object() {
    leave();
    const int c = peek_value();
    if (c == '}') {
        eat();
        return;
    }
    if (c == ',') fail_peek("trailing comma");
    if (c < 0) fail_peek("EOF while parsing an object");
    fail_peek("trailing characters");
}

Positioned Reader::fixed_in_object(const Unpositioned& e) {
    if (peek_value() == '}') eat();
    return Positioned{e.message, pos_};
}

// Values under keys that no record knows: checked for syntax and dropped,
// iteratively, with the same nesting limit as everything else.
std::string_view Reader::raw_value() {
    const std::size_t start = pos_;
    skip_value();
    return s_.substr(start, pos_ - start);
}

void Reader::skip_value() {
    frames_.clear();
    for (;;) {
        int c = peek_value();
        char opened = 0;
        switch (c) {
            case -1: fail_peek("EOF while parsing a value");
            case 'n': eat(); ident("ull"); break;
            case 't': eat(); ident("rue"); break;
            case 'f': eat(); ident("alse"); break;
            case '-':
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                skip_number();
                break;
            case '"': eat(); skip_string(); break;
            case '[':
            case '{':
                enter();
                eat();
                opened = static_cast<char>(c);
                break;
            default: fail_peek("expected value");
        }
        char frame;
        bool accept_comma;
        if (opened != 0) {
            frame = opened;
            accept_comma = false;
        } else {
            if (frames_.empty()) return;
            frame = frames_.back();
            frames_.pop_back();
            accept_comma = true;
        }
        for (;;) {
            c = peek_value();
            if (c == ',' && accept_comma) {
                eat();
                break;
            }
            if ((c == ']' && frame == '[') || (c == '}' && frame == '{')) {
                eat();
                leave();
                if (frames_.empty()) return;
                frame = frames_.back();
                frames_.pop_back();
                accept_comma = true;
                continue;
            }
            if (c < 0) fail_peek(frame == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
            if (accept_comma) fail_peek(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
            break;
        }
        if (frame == '{') {
            c = peek_value();
            if (c != '"') fail_peek(c < 0 ? "EOF while parsing an object" : "key must be a string");
            eat();
            skip_string();
            c = peek_value();
            if (c != ':') fail_peek(c < 0 ? "EOF while parsing an object" : "expected `:`");
            eat();
        }
        frames_.push_back(frame);
    }
}

}  // namespace arbolet::persist::json
