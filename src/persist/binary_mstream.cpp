// The MStream in the compact binary form. Table shapes and the sketches'
// copies of the configuration follow from the configuration; a total sketch
// that hashes like its current sketch (always, unless a document said
// otherwise) stores its hashing once; counts are runs of zeros, whole
// numbers and raw doubles.
#include <bit>
#include <cmath>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"
#include "persist/binary_io.hpp"
#include "persist/binary_records.hpp"
#include "persist/binary_state.hpp"
#include "persist/mstream_records.hpp"

namespace arbolet::persist {

namespace {

using binary::ByteReader;
using binary::ByteWriter;
using mstream::CategoricalSketch;
using mstream::NumericSketch;
using mstream::RecordSketch;

// Count tokens: (k << 2) | tag. Tag 0: k + 1 zeros (+0.0); tag 1: the whole
// number k + 1; tag 2: a raw double follows (k is 0).
constexpr double kWholeLimit = 0x1.0p53;
// Longest run of zeros one token stands for, so that every table costs at
// least one byte per kMaxRun counts and the reader can refuse tables that the
// remaining bytes could not describe before it allocates them.
constexpr std::uint64_t kMaxRun = 4096;

void write_counts(ByteWriter& w, const std::vector<double>& counts) {
    std::uint64_t zeros = 0;
    auto flush = [&] {
        for (; zeros > kMaxRun; zeros -= kMaxRun) w.var((kMaxRun - 1) << 2);
        if (zeros > 0) w.var((zeros - 1) << 2);
        zeros = 0;
    };
    for (double c : counts) {
        if (std::bit_cast<std::uint64_t>(c) == 0) {
            ++zeros;
            continue;
        }
        flush();
        if (c >= 1.0 && c <= kWholeLimit && c == std::floor(c))
            w.var((static_cast<std::uint64_t>(c) - 1) << 2 | 1);
        else {
            w.var(2);
            w.f64(c);
        }
    }
    flush();
}

void read_counts(ByteReader& r, std::vector<double>& counts) {
    std::size_t i = 0;
    while (i < counts.size()) {
        const std::uint64_t t = r.var();
        const std::uint64_t k = t >> 2;
        switch (t & 3) {
            case 0:
                if (k >= counts.size() - i || k >= kMaxRun) r.fail("run of zero counts beyond the table");
                i += k + 1;  // the table starts as zeros
                break;
            case 1:
                if (k >= static_cast<std::uint64_t>(kWholeLimit)) r.fail("whole count out of range");
                counts[i++] = static_cast<double>(k + 1);
                break;
            case 2:
                if (k != 0) r.fail("invalid count token");
                counts[i++] = r.f64();
                break;
            default: r.fail("invalid count token");
        }
    }
}

template <class T>
void shape(Matrix<T>& m, std::vector<std::uint64_t> dim) {
    std::uint64_t n = 1;
    for (std::uint64_t e : dim) n *= e;  // the configuration check ruled out overflow
    m.dim = std::move(dim);
    m.data.assign(n, T{});
}

void write_doubles(ByteWriter& w, const std::vector<double>& v) {
    for (double x : v) w.f64(x);
}
void read_doubles(ByteReader& r, std::vector<double>& v) {
    r.count(v.size(), 64, "values");
    for (double& x : v) x = r.f64();
}
void write_signed(ByteWriter& w, const std::vector<std::int64_t>& v) {
    for (std::int64_t x : v) w.svar(x);
}
void read_signed(ByteReader& r, std::vector<std::int64_t>& v) {
    r.count(v.size(), 8, "coefficients");
    for (std::int64_t& x : v) x = r.svar();
}

void write_record(ByteWriter& w, const mstream::SketchCounts<RecordSketch>& p) {
    write_doubles(w, p.current.numeric_planes.data);
    write_signed(w, p.current.categorical_coeffs.data);
    const bool same = p.total.numeric_planes == p.current.numeric_planes &&
                      p.total.categorical_coeffs == p.current.categorical_coeffs;
    w.u8(same ? 1 : 0);
    if (!same) {
        write_doubles(w, p.total.numeric_planes.data);
        write_signed(w, p.total.categorical_coeffs.data);
    }
    write_counts(w, p.current.count.data);
    write_counts(w, p.total.count.data);
}

void write_categorical(ByteWriter& w, const mstream::SketchCounts<CategoricalSketch>& p) {
    write_signed(w, p.current.hash_a.data);
    write_signed(w, p.current.hash_b.data);
    const bool same = p.total.hash_a == p.current.hash_a && p.total.hash_b == p.current.hash_b;
    w.u8(same ? 1 : 0);
    if (!same) {
        write_signed(w, p.total.hash_a.data);
        write_signed(w, p.total.hash_b.data);
    }
    write_counts(w, p.current.count.data);
    write_counts(w, p.total.count.data);
}

}  // namespace

void write_mstream_payload(ByteWriter& w, const mstream::MStream& m) {
    if (!m.caught_up()) {
        mstream::MStream copy = m;
        copy.catch_up();
        return write_mstream_payload(w, copy);
    }
    binary::write_record<mstream::MStreamConfig>(w, m.config);
    binary::write_record<mstream::StreamClock>(w, m.clock);
    w.var(m.entries_seen);
    write_record(w, m.record_counts);
    for (const auto& p : m.numeric_counts) {
        write_counts(w, p.current.count.data);
        write_counts(w, p.total.count.data);
    }
    for (const auto& p : m.categorical_counts) write_categorical(w, p);
    write_doubles(w, m.numeric_normalizer.min_numeric);
    write_doubles(w, m.numeric_normalizer.max_numeric);
}

void read_mstream_payload(ByteReader& r, mstream::MStream& m) {
    mstream::MStreamConfig& c = m.config;
    binary::read_record<mstream::MStreamConfig>(r, c);
    Status valid = mstream::MStream::check_config(c);
    if (!valid) throw Inconsistent{"inconsistent state: " + valid.error().text};
    mstream::MStream::check_size(c);
    {
        // The smallest encoding of the tables this configuration fixes: raw
        // planes, one byte per coefficient, two bytes per kMaxRun counts of
        // each count table (a current and a total one per sketch). Less data
        // than that is refused before anything is allocated, so reading n
        // bytes allocates at most about 8 * kMaxRun / 2 * n bytes of counts.
        const std::uint64_t cells = c.num_rows * c.num_buckets;
        const std::uint64_t plane_values = c.num_rows * mstream::plane_count(c.num_buckets) * c.numeric_dim;
        long double need = 8.0L * plane_values + 1.0L * c.num_rows * c.categorical_dim +
                           2.0L * c.num_rows * c.categorical_dim + 16.0L * c.numeric_dim;
        need += 4.0L * (static_cast<long double>(cells) / kMaxRun) * (1 + c.categorical_dim);
        need += 4.0L * (static_cast<long double>(c.num_buckets) / kMaxRun) * c.numeric_dim;
        if (need > static_cast<long double>(r.remaining())) r.fail("declared tables exceed the data");
    }
    binary::read_record<mstream::StreamClock>(r, m.clock);
    m.entries_seen = r.var();

    const std::uint64_t rows = c.num_rows, buckets = c.num_buckets;
    const std::uint64_t planes = mstream::plane_count(buckets);
    for (RecordSketch* s : {&m.record_counts.current, &m.record_counts.total}) {
        *s = RecordSketch{};
        s->num_rows = rows;
        s->num_buckets = buckets;
        s->numeric_dim = c.numeric_dim;
        s->categorical_dim = c.categorical_dim;
        shape(s->numeric_planes, {rows, planes, c.numeric_dim});
        shape(s->categorical_coeffs, {rows, c.categorical_dim});
        shape(s->count, {rows, buckets});
    }
    auto& rec = m.record_counts;
    read_doubles(r, rec.current.numeric_planes.data);
    read_signed(r, rec.current.categorical_coeffs.data);
    if (r.flag()) {
        rec.total.numeric_planes = rec.current.numeric_planes;
        rec.total.categorical_coeffs = rec.current.categorical_coeffs;
    } else {
        read_doubles(r, rec.total.numeric_planes.data);
        read_signed(r, rec.total.categorical_coeffs.data);
    }
    read_counts(r, rec.current.count.data);
    read_counts(r, rec.total.count.data);

    m.numeric_counts.resize(c.numeric_dim);
    for (auto& p : m.numeric_counts) {
        for (NumericSketch* s : {&p.current, &p.total}) {
            s->num_buckets = buckets;
            shape(s->count, {buckets});
        }
        read_counts(r, p.current.count.data);
        read_counts(r, p.total.count.data);
    }
    m.categorical_counts.resize(c.categorical_dim);
    for (auto& p : m.categorical_counts) {
        for (CategoricalSketch* s : {&p.current, &p.total}) {
            s->num_rows = rows;
            s->num_buckets = buckets;
            shape(s->hash_a, {rows});
            shape(s->hash_b, {rows});
            shape(s->count, {rows, buckets});
        }
        read_signed(r, p.current.hash_a.data);
        read_signed(r, p.current.hash_b.data);
        if (r.flag()) {
            p.total.hash_a = p.current.hash_a;
            p.total.hash_b = p.current.hash_b;
        } else {
            read_signed(r, p.total.hash_a.data);
            read_signed(r, p.total.hash_b.data);
        }
        read_counts(r, p.current.count.data);
        read_counts(r, p.total.count.data);
    }
    m.numeric_normalizer.min_numeric.resize(c.numeric_dim);
    m.numeric_normalizer.max_numeric.resize(c.numeric_dim);
    read_doubles(r, m.numeric_normalizer.min_numeric);
    read_doubles(r, m.numeric_normalizer.max_numeric);
    if (!r.at_end()) r.fail("trailing bytes after the state");
}

}  // namespace arbolet::persist
