// Count sketches of whole records and of single features, with their hashing
// and decay.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "common/matrix.hpp"
#include "common/platform.hpp"
#include "random/xoshiro.hpp"

namespace arbolet::mstream {

struct MStreamConfig;

// Number of random hyperplanes per row: enough sign bits to address every
// bucket (2^planes >= num_buckets).
inline std::uint64_t plane_count(std::uint64_t num_buckets) {
    return static_cast<std::uint64_t>(std::bit_width(num_buckets - 1));
}

// Low and high halves of the full 128-bit product, folded together so that
// every input bit reaches every output bit.
inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
    const Uint128 p = wide_product(a, b);
    return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

// x mod m. A power of two (the default bucket count) needs no division,
// which would cost more than the rest of a bucket's hashing.
inline std::uint64_t remainder(std::uint64_t x, std::uint64_t m) {
    return (m & (m - 1)) == 0 ? x & (m - 1) : x % m;
}

// (q + x) mod m for q < m, as if the sum had a 65th bit.
inline std::uint64_t add_mod(std::uint64_t q, std::uint64_t x, std::uint64_t m) {
    const std::uint64_t r = remainder(x, m);
    const std::uint64_t s = q + r;  // the true sum is below 2m
    // Past m, or wrapped past 2^64: either way subtracting m (mod 2^64)
    // lands on the true remainder.
    return (s < q || s >= m) ? s - m : s;
}

inline constexpr std::uint64_t kValueConstant = 0xbe5466cf34e90c6cULL;
inline constexpr std::uint64_t kCoefficientConstant = 0x452821e638d01377ULL;
inline constexpr std::uint64_t kHashMultiplier = 0x5851f42d4c957f2dULL;

// The decay of a count table, deferred block by block. With the time
// advancing on every record, multiplying every live count at every tick cost
// far more than the record itself, and a record only touches a few counts.
// So a decay only counts itself (`epoch`), and a block of counts has the
// multiplications it missed applied one by one, in order, when a record
// touches it or when the whole table is caught up (for a reader, or before
// the factor changes): the same roundings in the same order, so the same
// bits. Blocks whose counts a multiplication leaves unchanged (zeros, and
// counts stuck at the bottom of the subnormal range, where rounding takes
// c * alpha back to c, which every bucket a stream has ever touched ends up
// as) are set aside until a record adds to them: the same factor leaves them
// unchanged again.
//
// It compares equal whatever it holds: MStream's comparison and its writers
// catch a copy up first, its readers replay what a count owes, and a copy
// carries what is owed. A new or loaded table has nothing deferred.
struct DecayIndex {
    static constexpr std::size_t kBlock = 8;  // counts per block
    // Multiplications that may be owed before the whole table is caught up
    // (`applied` is 16 bits wide).
    static constexpr std::uint32_t kMaxEpoch = 0xfffe;
    // `applied` of a block set aside.
    static constexpr std::uint16_t kAside = 0xffff;

    // Bit k of word w: block 64w + k may still change under `factor` (is not
    // set aside).
    std::vector<std::uint64_t> pending;
    // Per block: how many of the first `epoch` multiplications it has had,
    // or kAside.
    std::vector<std::uint16_t> applied;
    std::uint64_t factor_bits = 0;  // the factor of the deferred decays
    double safe = 0.0;              // counts at least this large keep a normal product
    double safe_4 = 0.0;            // ... for 4 multiplications in a row
    double safe_16 = 0.0;           // ... for 16
    // Positive subnormal counts n * 2^-1074 with 1 <= n <= stuck_units are
    // fixed points of that factor (n * factor rounds back to n).
    std::uint64_t stuck_units = 0;
    std::uint32_t epoch = 0;  // decays by `factor` so far
    bool caught_up = true;    // every pending block has had all of them
    bool valid = false;

    friend bool operator==(const DecayIndex&, const DecayIndex&) { return true; }
};

// A decay by `factor` of every count, deferred.
void decay_counts(std::span<double> counts, DecayIndex& index, double factor);
// Applies every deferred decay.
void catch_up_counts(std::span<double> counts, DecayIndex& index);
struct OwedBlock {
    double* counts;  // the block's first count
    std::size_t n;   // counts in the block
    std::uint64_t lag;
    const DecayIndex* index;
};

// What every write to a count of a decaying table must be preceded by: the
// block of the count has the decays it owes applied (and set aside blocks
// come back). For many counts at once, which is faster than one block after
// another: claim every count first, then apply() before reading or writing
// any of them.
class CatchUpBatch {
public:
    // Records the block of counts[i] as caught up (so that claiming it again
    // finds nothing owed) and keeps what it owes for apply().
    void claim(std::span<double> counts, DecayIndex& index, std::size_t i) {
        if (!index.valid) return;
        const std::size_t block = i / DecayIndex::kBlock;
        if (index.applied[block] != index.epoch) claim_owed(counts, index, block);
    }
    void apply();

private:
    void claim_owed(std::span<double> counts, DecayIndex& index, std::size_t block);

    static constexpr std::size_t kCapacity = 32;
    OwedBlock owed_[kCapacity];
    std::size_t size_ = 0;
};

// counts[i] with its deferred decays applied, changing nothing.
double owed_count(std::span<const double> counts, const DecayIndex& index, std::size_t i);
inline double current_count(std::span<const double> counts, const DecayIndex& index, std::size_t i) {
    return index.caught_up ? counts[i] : owed_count(counts, index, i);
}

struct RecordSketch {
    std::uint64_t num_rows = 0;
    std::uint64_t num_buckets = 0;
    std::uint64_t numeric_dim = 0;
    std::uint64_t categorical_dim = 0;
    Matrix<double> numeric_planes;            // [num_rows, planes, numeric_dim]
    Matrix<std::int64_t> categorical_coeffs;  // [num_rows, categorical_dim]
    Matrix<double> count;                     // [num_rows, num_buckets]

    // Draws the planes, then the coefficients; counts start at 0.
    static RecordSketch build(const MStreamConfig& config, Xoshiro256PlusPlus& rng);

    // Bucket of a record in row r, its numeric values widened to double
    // (once per record rather than once per plane). The caller guarantees
    // that the tables and the spans have the configured shapes
    // (MStream::check_consistent).
    std::uint64_t bucket(std::uint64_t row, std::span<const double> numeric,
                         std::span<const std::int64_t> categorical) const;

    DecayIndex decay_index;  // only used by the decaying (current) sketch
    void decay(double factor) { decay_counts(count.data, decay_index, factor); }
    void catch_up() { catch_up_counts(count.data, decay_index); }

    friend bool operator==(const RecordSketch&, const RecordSketch&) = default;
};

struct NumericSketch {
    std::uint64_t num_buckets = 0;
    Matrix<double> count;  // [num_buckets]

    static NumericSketch build(std::uint64_t num_buckets);

    // Bucket of a normalised value; values outside [0, 1] (or NaN) are
    // clamped, so the index is always in range.
    std::uint64_t bucket(double normalized) const {
        // The conversion truncates, which is the floor for the positive
        // values that reach it.
        const double scaled = normalized * static_cast<double>(num_buckets);
        if (!(scaled >= 1.0)) return 0;
        const std::uint64_t last = num_buckets - 1;
        if (scaled >= 0x1.0p64) return last;
        const std::uint64_t index = static_cast<std::uint64_t>(scaled);
        return index < last ? index : last;
    }

    DecayIndex decay_index;  // only used by the decaying (current) sketch
    void decay(double factor) { decay_counts(count.data, decay_index, factor); }
    void catch_up() { catch_up_counts(count.data, decay_index); }

    friend bool operator==(const NumericSketch&, const NumericSketch&) = default;
};

struct CategoricalSketch {
    std::uint64_t num_rows = 0;
    std::uint64_t num_buckets = 0;
    Matrix<std::int64_t> hash_a;  // [num_rows]
    Matrix<std::int64_t> hash_b;  // [num_rows]
    Matrix<double> count;         // [num_rows, num_buckets]

    // Draws hash_a for every row, then hash_b for every row.
    static CategoricalSketch build(std::uint64_t num_rows, std::uint64_t num_buckets, Xoshiro256PlusPlus& rng);

    std::uint64_t bucket(std::uint64_t row, std::int64_t code) const {
        const std::uint64_t d = fold(static_cast<std::uint64_t>(hash_b.data[row]) ^ static_cast<std::uint64_t>(code) ^
                                         kValueConstant,
                                     kHashMultiplier);
        const std::uint64_t h = fold(d, static_cast<std::uint64_t>(hash_a.data[row]) ^ kCoefficientConstant);
        return remainder(std::rotl(h, static_cast<int>(d & 63)), num_buckets);
    }

    DecayIndex decay_index;  // only used by the decaying (current) sketch
    void decay(double factor) { decay_counts(count.data, decay_index, factor); }
    void catch_up() { catch_up_counts(count.data, decay_index); }

    friend bool operator==(const CategoricalSketch&, const CategoricalSketch&) = default;
};

// `current` decays with time, `total` never does; both hash alike.
template <class Sketch>
struct SketchCounts {
    Sketch current;
    Sketch total;

    friend bool operator==(const SketchCounts&, const SketchCounts&) = default;
};

}  // namespace arbolet::mstream
