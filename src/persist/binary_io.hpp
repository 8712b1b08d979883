// Primitive encodings of the compact binary state: little-endian fixed-width
// values, LEB128 variable-length integers and bit-packed fields. The reader
// checks every length against the bytes that remain before it reads or
// reserves anything.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace arbolet::persist::binary {

// A decoding failure: the text, and the byte offset where it was found.
struct Fault {
    std::string message;
    std::size_t offset;
};

class ByteWriter {
public:
    void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u32(std::uint32_t v) { fixed(v); }
    void u64(std::uint64_t v) { fixed(v); }
    void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void var(std::uint64_t v) {
        while (v >= 0x80) {
            u8(static_cast<std::uint8_t>(v | 0x80));
            v >>= 7;
        }
        u8(static_cast<std::uint8_t>(v));
    }
    // Signed values by zigzag, so small magnitudes of either sign stay short.
    void svar(std::int64_t v) {
        var((static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63));
    }
    // kNone (all ones) becomes 0, every other value v becomes v + 1.
    void var_or_none(std::uint64_t v) { var(v + 1); }
    void bytes(std::string_view b) { out_.append(b); }
    std::size_t size() const { return out_.size(); }
    std::string& str() { return out_; }

private:
    template <class U>
    void fixed(U v) {
        char b[sizeof(U)];
        for (std::size_t i = 0; i < sizeof(U); ++i) b[i] = static_cast<char>(v >> (8 * i));
        out_.append(b, sizeof(U));
    }

    std::string out_;
};

class ByteReader {
public:
    explicit ByteReader(std::string_view in) : in_(in) {}

    [[noreturn]] void fail(const std::string& what) const { throw Fault{what, pos_}; }
    std::size_t remaining() const { return in_.size() - pos_; }
    std::size_t offset() const { return pos_; }
    bool at_end() const { return pos_ == in_.size(); }

    // Refuses a count of items that each take at least `min_bits` bits of
    // input when the remaining input cannot hold them all.
    std::uint64_t count(std::uint64_t n, std::uint64_t min_bits, const char* what) const {
        if (min_bits != 0 && n > remaining() * 8 / min_bits) fail(std::string("declared count of ") + what + " exceeds the data");
        return n;
    }

    std::uint8_t u8() {
        if (remaining() < 1) fail("unexpected end of data");
        return static_cast<std::uint8_t>(in_[pos_++]);
    }
    std::uint32_t u32() {
        if (remaining() < 4) fail("unexpected end of data");
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(in_[pos_ + i])) << (8 * i);
        pos_ += 4;
        return v;
    }
    std::uint64_t u64() {
        if (remaining() < 8) fail("unexpected end of data");
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(in_[pos_ + i])) << (8 * i);
        pos_ += 8;
        return v;
    }
    float f32() { return std::bit_cast<float>(u32()); }
    double f64() { return std::bit_cast<double>(u64()); }
    std::uint64_t var() {
        std::uint64_t v = 0;
        for (int shift = 0;; shift += 7) {
            const std::uint8_t b = u8();
            if (shift == 63 && b > 1) fail("integer out of range");
            v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) return v;
        }
    }
    std::int64_t svar() {
        const std::uint64_t z = var();
        return static_cast<std::int64_t>((z >> 1) ^ (0 - (z & 1)));
    }
    std::uint64_t var_or_none() { return var() - 1; }
    bool flag() {
        const std::uint8_t b = u8();
        if (b > 1) fail("invalid flag");
        return b == 1;
    }
    std::string_view take(std::size_t n) {
        if (remaining() < n) fail("unexpected end of data");
        std::string_view v = in_.substr(pos_, n);
        pos_ += n;
        return v;
    }

private:
    std::string_view in_;
    std::size_t pos_ = 0;
};

// Fields of a fixed bit width, packed low bit first; the writer appends the
// packed bytes to a ByteWriter at the end, the reader takes its bytes first.
class BitWriter {
public:
    // `width` <= 57, so that a field always fits next to the pending bits.
    void put(std::uint64_t v, unsigned width) {
        acc_ |= (v & ((std::uint64_t{1} << width) - 1)) << pending_;
        pending_ += width;
        bits_ += width;
        while (pending_ >= 8) {
            buf_.push_back(static_cast<char>(acc_ & 0xFFu));
            acc_ >>= 8;
            pending_ -= 8;
        }
    }
    void flush_to(ByteWriter& w) {
        if (pending_ > 0) buf_.push_back(static_cast<char>(acc_ & 0xFFu));
        w.var(bits_);
        w.bytes(buf_);
        buf_.clear();
        acc_ = 0;
        pending_ = 0;
        bits_ = 0;
    }

private:
    std::string buf_;
    std::uint64_t acc_ = 0;
    unsigned pending_ = 0;
    std::uint64_t bits_ = 0;
};

class BitReader {
public:
    explicit BitReader(ByteReader& r) : r_(r) {
        bits_ = r.var();
        if (bits_ / 8 > r.remaining()) r.fail("declared bit field exceeds the data");
        data_ = r.take((bits_ + 7) / 8);
    }
    std::uint64_t bits_left() const { return bits_ - bit_; }
    // `width` <= 57, as written.
    std::uint64_t get(unsigned width) {
        if (width > 57 || width > bits_left()) r_.fail("bit field ends early");
        const std::size_t first = bit_ / 8;
        std::uint64_t window = 0;
        const std::size_t n = std::min<std::size_t>(8, data_.size() - first);
        for (std::size_t i = 0; i < n; ++i)
            window |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(data_[first + i])) << (8 * i);
        const std::uint64_t v = (window >> (bit_ % 8)) & ((std::uint64_t{1} << width) - 1);
        bit_ += width;
        return v;
    }

private:
    ByteReader& r_;
    std::string_view data_;
    std::uint64_t bits_ = 0;
    std::uint64_t bit_ = 0;
};

// Bits needed for values below n (at least 1).
inline unsigned width_below(std::uint64_t n) { return n <= 2 ? 1u : static_cast<unsigned>(std::bit_width(n - 1)); }

}  // namespace arbolet::persist::binary
