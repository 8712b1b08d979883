#include "persist/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace arbolet::persist {

namespace {

// The shortest digits that read back to the value at its own width, as
// produced by std::to_chars in scientific form ("d.ddde+XX"): digits go to
// `digits` without the point, the decimal exponent is returned.
template <class T>
int shortest_digits(T magnitude, char* digits, int& count) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    const char* p = buf;
    count = 0;
    while (p < res.ptr && *p != 'e') {
        if (*p != '.') digits[count++] = *p;
        ++p;
    }
    // to_chars never writes trailing zeros in the shortest form, but a
    // single "0" digit is not expected here (zero is handled by the caller).
    ++p;  // 'e'
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    int e = 0;
    while (p < res.ptr) e = e * 10 + (*p++ - '0');
    return negative ? -e : e;
}

char* format(char* out, const char* d, int n, int e, int plain_low, int plain_high) {
    if (e >= plain_low && e <= plain_high) {
        if (e < 0) {
            *out++ = '0';
            *out++ = '.';
            for (int i = 0; i < -e - 1; ++i) *out++ = '0';
            std::memcpy(out, d, static_cast<std::size_t>(n));
            return out + n;
        }
        if (e < n - 1) {
            std::memcpy(out, d, static_cast<std::size_t>(e + 1));
            out += e + 1;
            *out++ = '.';
            std::memcpy(out, d + e + 1, static_cast<std::size_t>(n - e - 1));
            return out + (n - e - 1);
        }
        std::memcpy(out, d, static_cast<std::size_t>(n));
        out += n;
        for (int i = 0; i < e - n + 1; ++i) *out++ = '0';
        *out++ = '.';
        *out++ = '0';
        return out;
    }
    *out++ = d[0];
    if (n > 1) {
        *out++ = '.';
        std::memcpy(out, d + 1, static_cast<std::size_t>(n - 1));
        out += n - 1;
    }
    *out++ = 'e';
    *out++ = e < 0 ? '-' : '+';
    return std::to_chars(out, out + 8, e < 0 ? -e : e).ptr;
}

template <class T>
char* write_float(char* out, T value, int plain_low, int plain_high) {
    if (std::signbit(value)) {
        *out++ = '-';
        value = -value;
    }
    if (value == T(0)) {
        std::memcpy(out, "0.0", 3);
        return out + 3;
    }
    char digits[32];
    int n = 0;
    const int e = shortest_digits(value, digits, n);
    return format(out, digits, n, e, plain_low, plain_high);
}

}  // namespace

char* write_f32(char* out, float value) { return write_float(out, value, -6, 12); }
char* write_f64(char* out, double value) { return write_float(out, value, -5, 15); }

std::string plain_float_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    std::string s;
    if (std::signbit(value)) {
        s += '-';
        value = -value;
    }
    if (value == 0.0) return s + "0.0";
    char digits[32];
    int n = 0;
    const int e = shortest_digits(value, digits, n);
    if (e < 0) {
        s += "0.";
        s.append(static_cast<std::size_t>(-e - 1), '0');
        s.append(digits, static_cast<std::size_t>(n));
    } else if (e < n - 1) {
        s.append(digits, static_cast<std::size_t>(e + 1));
        s += '.';
        s.append(digits + e + 1, static_cast<std::size_t>(n - e - 1));
    } else {
        s.append(digits, static_cast<std::size_t>(n));
        s.append(static_cast<std::size_t>(e - n + 1), '0');
        s += ".0";
    }
    return s;
}

}  // namespace arbolet::persist
