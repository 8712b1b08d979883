#include "mstream/detector.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/memory_budget.hpp"

namespace arbolet::mstream {

namespace {

constexpr double kEpsilon = 0x1.0p-52;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kMaxSigned = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// Whether a table of these extents has an element count and a byte size
// that a signed 64-bit integer holds.
bool table_fits(std::initializer_list<std::uint64_t> extents, std::uint64_t element_size) {
    for (std::uint64_t extent : extents)
        if (extent == 0) return true;
    std::uint64_t n = 1;
    for (std::uint64_t extent : extents)
        if (!checked_mul(n, extent, n) || n > kMaxSigned) return false;
    return checked_mul(n, element_size, n) && n <= kMaxSigned;
}

// Adds `count` tables of `elements` values of `size` bytes to a running
// byte total; std::bad_alloc when the total no longer fits in 64 bits.
void add_bytes(std::uint64_t& total, std::uint64_t count, std::uint64_t elements, std::uint64_t size) {
    std::uint64_t bytes = 0;
    if (!checked_mul(count, elements, bytes) || !checked_mul(bytes, size, bytes) || !checked_add(total, bytes, total))
        throw std::bad_alloc();
}

template <class T>
void expect_shape(const Matrix<T>& m, std::initializer_list<std::uint64_t> shape, const char* message) {
    if (m.dim.size() != shape.size()) fail(message);
    std::uint64_t n = 1;
    std::size_t axis = 0;
    for (std::uint64_t extent : shape) {
        if (m.dim[axis++] != extent) fail(message);
        if (!checked_mul(n, extent, n)) fail(message);
    }
    if (m.data.size() != n) fail(message);
}

double min_of(double acc, double v) { return v < acc ? v : acc; }

// The record's tick count as a double, and the spread that the scores
// divide by (the same for every sketch of one record).
struct Ticks {
    double ticks;
    double spread;

    explicit Ticks(std::uint64_t tick)
        : ticks(static_cast<double>(tick > 1 ? tick : 1)), spread(ticks - 1.0 > 1.0 ? ticks - 1.0 : 1.0) {}
};

// Chi-squared-like departure of the decayed count `a` from the count per
// tick that the history predicts.
double sketch_score(double a, double s, const Ticks& t) {
    const double mu = s / t.ticks;
    if (mu <= kEpsilon) return 0.0;
    const double d = a - mu;
    const double sq = d * d;
    return sq / mu + sq / (t.spread * mu);
}

struct RowMinima {
    double current;
    double total;
};

// The minima over rows of a pair's counts at the record's buckets, as they
// stand (a preview reads them before any change).
template <class Sketch, class Bucket>
RowMinima row_minima(const SketchCounts<Sketch>& pair, bool shared, std::uint64_t rows, std::uint64_t buckets,
                     Bucket bucket) {
    RowMinima m{kInfinity, kInfinity};
    for (std::uint64_t r = 0; r < rows; ++r) {
        const std::uint64_t bc = bucket(pair.current, r);
        const std::uint64_t bt = shared ? bc : bucket(pair.total, r);
        m.current = min_of(m.current, current_count(pair.current.count.data, pair.current.decay_index, r * buckets + bc));
        m.total = min_of(m.total, pair.total.count.data[r * buckets + bt]);
    }
    return m;
}

// The buckets of a record in every row of a pair's sketches, the current
// sketch's then the total's; when the two hash alike (`shared`) the current
// sketch's bucket serves both. `bucket(sketch, r)` hashes for row r.
template <class Sketch, class Bucket>
void find_buckets(const SketchCounts<Sketch>& pair, bool shared, std::uint64_t rows, std::uint64_t* out,
                  Bucket bucket) {
    for (std::uint64_t r = 0; r < rows; ++r) {
        const std::uint64_t bc = bucket(pair.current, r);
        out[2 * r] = bc;
        out[2 * r + 1] = shared ? bc : bucket(pair.total, r);
    }
}

template <class Sketch>
void claim_rows(CatchUpBatch& batch, SketchCounts<Sketch>& pair, std::uint64_t rows, std::uint64_t buckets,
                const std::uint64_t* found) {
    for (std::uint64_t r = 0; r < rows; ++r) batch.claim(pair.current.count.data, pair.current.decay_index, r * buckets + found[2 * r]);
}

// Adds one to the record's bucket (found by find_buckets) in every row of a
// pair's `current`, then of its `total`, and scores the row minima the counts
// reach.
template <class Sketch>
double add_and_score(SketchCounts<Sketch>& pair, std::uint64_t rows, std::uint64_t buckets, const Ticks& ticks,
                     const std::uint64_t* found) {
    double a = kInfinity;
    double s = kInfinity;
    for (std::uint64_t r = 0; r < rows; ++r) {
        double& ca = pair.current.count.data[r * buckets + found[2 * r]];
        double& cs = pair.total.count.data[r * buckets + found[2 * r + 1]];
        ca += 1.0;
        cs += 1.0;
        a = min_of(a, ca);
        s = min_of(s, cs);
    }
    return sketch_score(a, s, ticks);
}

bool same_hashing(const RecordSketch& a, const RecordSketch& b) {
    return a.numeric_planes == b.numeric_planes && a.categorical_coeffs == b.categorical_coeffs;
}

bool same_hashing(const CategoricalSketch& a, const CategoricalSketch& b) {
    return a.hash_a == b.hash_a && a.hash_b == b.hash_b;
}

// The total from the parts already in `out`, in their order.
void assemble(double record, MStreamScore& out) {
    double numeric_sum = 0.0;
    for (double v : out.numeric_features) numeric_sum += v;
    double categorical_sum = 0.0;
    for (double v : out.categorical_features) categorical_sum += v;
    out.total = (record + numeric_sum) + categorical_sum;
    out.record = record;
}


// A record's numeric values widened to double once, for every hashing plane
// to read; on the stack for the usual few features.
class Widened {
public:
    explicit Widened(std::span<const float> values) {
        double* out = inline_;
        if (values.size() > kInline) {
            heap_.resize(values.size());
            out = heap_.data();
        }
        for (std::size_t i = 0; i < values.size(); ++i) out[i] = static_cast<double>(values[i]);
        view_ = std::span<const double>(out, values.size());
    }
    Widened(const Widened&) = delete;
    Widened& operator=(const Widened&) = delete;

    std::span<const double> values() const { return view_; }

private:
    static constexpr std::size_t kInline = 32;
    double inline_[kInline];
    std::vector<double> heap_;
    std::span<const double> view_;
};

// Bucket indices of one record, on the stack for the usual few features.
class Cells {
public:
    explicit Cells(std::size_t n) : data_(inline_) {
        if (n > kInline) {
            heap_.resize(n);
            data_ = heap_.data();
        }
    }
    Cells(const Cells&) = delete;
    Cells& operator=(const Cells&) = delete;

    std::uint64_t* data() { return data_; }

private:
    static constexpr std::size_t kInline = 128;
    std::uint64_t inline_[kInline];
    std::vector<std::uint64_t> heap_;
    std::uint64_t* data_;
};

}  // namespace

Status MStream::check_config(const MStreamConfig& c) {
    if (c.numeric_dim == 0 && c.categorical_dim == 0)
        return EngineError::invalid_argument("at least one of numeric_dim or categorical_dim must be > 0");
    if (c.num_rows == 0) return EngineError::invalid_argument("num_rows must be > 0");
    if (c.num_buckets < 2) return EngineError::invalid_argument("num_buckets must be >= 2");
    if (!(c.alpha > 0.0 && c.alpha < 1.0)) return EngineError::invalid_argument("alpha must be in range (0, 1)");

    const std::uint64_t planes = plane_count(c.num_buckets);
    if (!table_fits({c.num_rows, planes, c.numeric_dim}, sizeof(double)))
        return EngineError::invalid_argument("num_rows * plane count * numeric_dim is too large");
    if (!table_fits({c.num_rows, c.categorical_dim}, sizeof(std::int64_t)))
        return EngineError::invalid_argument("num_rows * categorical_dim is too large");
    if (!table_fits({c.num_rows, c.num_buckets}, sizeof(double)))
        return EngineError::invalid_argument("num_rows * num_buckets is too large");
    return {};
}

void MStream::check_size(const MStreamConfig& c) {
    const std::uint64_t planes = plane_count(c.num_buckets);
    // Each table may fit while all of them together do not: refuse before
    // the first one is filled rather than exhaust memory part way.
    std::uint64_t bytes = 0;
    add_bytes(bytes, c.num_rows, planes * c.numeric_dim, sizeof(double));
    add_bytes(bytes, 1, c.num_rows, c.categorical_dim * sizeof(std::int64_t));
    add_bytes(bytes, 2, c.num_rows, c.num_buckets * sizeof(double));
    add_bytes(bytes, c.numeric_dim, 2, sizeof(SketchCounts<NumericSketch>) + c.num_buckets * sizeof(double));
    add_bytes(bytes, c.categorical_dim, 2,
              sizeof(SketchCounts<CategoricalSketch>) + c.num_rows * 2 * sizeof(std::int64_t));
    add_bytes(bytes, c.categorical_dim * 2, c.num_rows, c.num_buckets * sizeof(double));
    check_memory("MStream", bytes);
}

Result<MStream> MStream::build(std::uint64_t numeric_dim, std::uint64_t categorical_dim, std::uint64_t num_rows,
                               std::uint64_t num_buckets, double alpha, std::optional<std::uint64_t> seed) {
    // The operating system is asked before validation, so a refused
    // configuration still consumes its draw.
    const std::uint64_t h = seed ? *seed : Xoshiro256PlusPlus::from_os_random().next_u64();

    const MStreamConfig config{numeric_dim, categorical_dim, num_rows, num_buckets, alpha};
    Status valid = check_config(config);
    if (!valid) return valid.take_error();
    check_size(config);

    MStream detector;
    detector.config = {numeric_dim, categorical_dim, num_rows, num_buckets, alpha};

    Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::seeded(h);
    detector.record_counts.current = RecordSketch::build(detector.config, rng);
    detector.record_counts.total = detector.record_counts.current;

    detector.numeric_counts.reserve(numeric_dim);
    for (std::uint64_t i = 0; i < numeric_dim; ++i) {
        NumericSketch sketch = NumericSketch::build(num_buckets);
        detector.numeric_counts.push_back({sketch, sketch});
    }

    detector.categorical_counts.reserve(categorical_dim);
    for (std::uint64_t j = 0; j < categorical_dim; ++j) {
        CategoricalSketch sketch = CategoricalSketch::build(num_rows, num_buckets, rng);
        detector.categorical_counts.push_back({sketch, sketch});
    }

    detector.numeric_normalizer = NumericRangeNormalizer::unbounded(numeric_dim);
    detector.verify();
    return detector;
}

Result<MStream::ClockStep> MStream::clock_step(const StreamClock& clock, std::uint64_t timestamp) {
    if (timestamp == 0) return EngineError::invalid_argument("timestamp must be > 0");
    if (!clock.current_time) return ClockStep{0, 1};
    const std::uint64_t previous = *clock.current_time;
    if (timestamp < previous)
        return EngineError::invalid_argument("timestamps must be non-decreasing: previous=" + std::to_string(previous) +
                                             ", got=" + std::to_string(timestamp));
    const std::uint64_t elapsed = timestamp - previous;
    return ClockStep{elapsed, clock.current_tick + elapsed};
}

Result<MStream::ClockStep> MStream::check_record(const StreamClock& at, std::span<const float> numeric,
                                                 std::span<const std::int64_t> categorical,
                                                 std::uint64_t timestamp) const {
    if (numeric.size() != config.numeric_dim) return EngineError::dimension_mismatch(config.numeric_dim, numeric.size());
    if (categorical.size() != config.categorical_dim)
        return EngineError::dimension_mismatch(config.categorical_dim, categorical.size());
    Result<ClockStep> step = clock_step(at, timestamp);
    if (!step) return step;
    for (float x : numeric)
        if (!std::isfinite(x))
            return EngineError::invalid_argument(
                "numeric values must be finite in single precision (magnitude at most 3.4028235e38)");
    return step;
}

void MStream::check_consistent() const {
    if (shapes.verified) return;
    const std::uint64_t rows = config.num_rows;
    const std::uint64_t buckets = config.num_buckets;
    const std::uint64_t nd = config.numeric_dim;
    const std::uint64_t cd = config.categorical_dim;
    // Bucket indices are remainders by num_buckets.
    if (buckets < 2) fail("assertion failed: num_buckets >= 2");
    const std::uint64_t planes = plane_count(buckets);

    for (const RecordSketch* sketch : {&record_counts.current, &record_counts.total}) {
        if (sketch->num_rows != rows || sketch->num_buckets != buckets || sketch->numeric_dim != nd ||
            sketch->categorical_dim != cd)
            fail("assertion failed: record sketch sizes == configuration");
        expect_shape(sketch->numeric_planes, {rows, planes, nd},
                     "assertion failed: numeric_planes shape == [num_rows, planes, numeric_dim]");
        expect_shape(sketch->categorical_coeffs, {rows, cd},
                     "assertion failed: categorical_coeffs shape == [num_rows, categorical_dim]");
        expect_shape(sketch->count, {rows, buckets}, "assertion failed: record count shape == [num_rows, num_buckets]");
    }

    if (numeric_counts.size() != nd) fail("assertion failed: numeric_counts.len() == numeric_dim");
    for (const auto& pair : numeric_counts)
        for (const NumericSketch* sketch : {&pair.current, &pair.total}) {
            if (sketch->num_buckets != buckets) fail("assertion failed: numeric sketch num_buckets == configuration");
            expect_shape(sketch->count, {buckets}, "assertion failed: numeric count shape == [num_buckets]");
        }

    if (categorical_counts.size() != cd) fail("assertion failed: categorical_counts.len() == categorical_dim");
    for (const auto& pair : categorical_counts)
        for (const CategoricalSketch* sketch : {&pair.current, &pair.total}) {
            if (sketch->num_rows != rows || sketch->num_buckets != buckets)
                fail("assertion failed: categorical sketch sizes == configuration");
            expect_shape(sketch->hash_a, {rows}, "assertion failed: hash_a shape == [num_rows]");
            expect_shape(sketch->hash_b, {rows}, "assertion failed: hash_b shape == [num_rows]");
            expect_shape(sketch->count, {rows, buckets},
                         "assertion failed: categorical count shape == [num_rows, num_buckets]");
        }

    if (numeric_normalizer.min_numeric.size() != nd || numeric_normalizer.max_numeric.size() != nd)
        fail("assertion failed: normalizer bounds.len() == numeric_dim");
}

void MStream::verify() {
    if (shapes.verified) return;
    check_consistent();
    shapes.record_shared = same_hashing(record_counts.current, record_counts.total);
    shapes.categorical_shared.assign(categorical_counts.size(), 0);
    for (std::size_t j = 0; j < categorical_counts.size(); ++j)
        shapes.categorical_shared[j] = same_hashing(categorical_counts[j].current, categorical_counts[j].total);
    shapes.verified = true;
}

bool MStream::caught_up() const {
    if (!record_counts.current.decay_index.caught_up) return false;
    for (const auto& pair : numeric_counts)
        if (!pair.current.decay_index.caught_up) return false;
    for (const auto& pair : categorical_counts)
        if (!pair.current.decay_index.caught_up) return false;
    return true;
}

void MStream::catch_up() {
    record_counts.current.catch_up();
    for (auto& pair : numeric_counts) pair.current.catch_up();
    for (auto& pair : categorical_counts) pair.current.catch_up();
}

bool operator==(const MStream& a, const MStream& b) {
    if (!a.caught_up() || !b.caught_up()) {
        MStream x = a;
        MStream y = b;
        x.catch_up();
        y.catch_up();
        return x == y;
    }
    return a.config == b.config && a.clock == b.clock && a.entries_seen == b.entries_seen &&
           a.record_counts == b.record_counts && a.numeric_counts == b.numeric_counts &&
           a.categorical_counts == b.categorical_counts && a.numeric_normalizer == b.numeric_normalizer;
}

Result<MStreamScore> MStream::ingest(std::span<const float> numeric, std::span<const std::int64_t> categorical,
                                     std::uint64_t timestamp) {
    MStreamScore out;
    Status done = ingest_into(numeric, categorical, timestamp, out);
    if (!done) return done.take_error();
    return out;
}

Result<MStreamScore> MStream::preview(std::span<const float> numeric, std::span<const std::int64_t> categorical,
                                      std::uint64_t timestamp) const {
    MStreamScore out;
    Status done = preview_into(numeric, categorical, timestamp, out);
    if (!done) return done.take_error();
    return out;
}

Status MStream::ingest_into(std::span<const float> numeric, std::span<const std::int64_t> categorical,
                            std::uint64_t timestamp, MStreamScore& out) {
    Result<ClockStep> checked = check_record(numeric, categorical, timestamp);
    if (!checked) return checked.take_error();
    ingest_checked(checked.value(), numeric, categorical, timestamp, out);
    return {};
}

void MStream::ingest_checked(ClockStep step, std::span<const float> numeric,
                             std::span<const std::int64_t> categorical, std::uint64_t timestamp, MStreamScore& out) {
    verify();
    // Sized before anything changes, so that running out of memory leaves
    // the detector as it was.
    std::vector<double>& numeric_scores = out.numeric_features;
    std::vector<double>& categorical_scores = out.categorical_features;
    numeric_scores.resize(numeric.size());
    categorical_scores.resize(categorical.size());
    const Widened widened(numeric);
    const std::span<const double> values = widened.values();
    const std::uint64_t rows = config.num_rows;
    const std::uint64_t buckets = config.num_buckets;
    const std::size_t nd = numeric.size();
    const std::size_t cd = categorical.size();
    // Per numeric feature its bucket, then two per row of the record sketch
    // and of each categorical sketch (see find_buckets).
    Cells cells(nd + 2 * rows * (1 + cd));
    std::uint64_t* const numeric_cells = cells.data();
    std::uint64_t* const record_cells = numeric_cells + nd;
    const auto categorical_cells = [&](std::size_t j) { return record_cells + 2 * rows * (1 + j); };

    clock.current_time = timestamp;
    clock.current_tick = step.tick;
    if (step.elapsed > 0) {
        const double factor = std::pow(config.alpha, static_cast<double>(step.elapsed));
        record_counts.current.decay(factor);
        for (auto& pair : numeric_counts) pair.current.decay(factor);
        for (auto& pair : categorical_counts) pair.current.decay(factor);
        // With many records per time step, records touch most live blocks
        // between two decays, and one pass over the tables costs less than
        // catching each block up when a record first touches it.
        // (Measured on 10 + 10 features: per-record catch-ups win from one to
        // four records per step and tie at ten.)
        if (schedule.records_at_time >= DecaySchedule::kPassFrom) catch_up();
        schedule.records_at_time = 0;
    }
    ++schedule.records_at_time;

    const Ticks ticks(step.tick);
    const bool first = entries_seen == 0;

    // Every bucket first, so that the decays the record's counts owe are
    // applied together before any of them is read.
    for (std::size_t i = 0; i < nd; ++i)
        numeric_cells[i] = numeric_counts[i].current.bucket(numeric_normalizer.normalize_for_ingest(i, values[i], first));
    find_buckets(record_counts, shapes.record_shared, rows, record_cells,
                 [&](const RecordSketch& k, std::uint64_t r) { return k.bucket(r, values, categorical); });
    for (std::size_t j = 0; j < cd; ++j) {
        const std::int64_t code = categorical[j];
        find_buckets(categorical_counts[j], shapes.categorical_shared[j] != 0, rows, categorical_cells(j),
                     [&](const CategoricalSketch& k, std::uint64_t r) { return k.bucket(r, code); });
    }
    {
        CatchUpBatch batch;
        for (std::size_t i = 0; i < nd; ++i)
            batch.claim(numeric_counts[i].current.count.data, numeric_counts[i].current.decay_index, numeric_cells[i]);
        claim_rows(batch, record_counts, rows, buckets, record_cells);
        for (std::size_t j = 0; j < cd; ++j) claim_rows(batch, categorical_counts[j], rows, buckets, categorical_cells(j));
        batch.apply();
    }

    for (std::size_t i = 0; i < nd; ++i) {
        auto& pair = numeric_counts[i];
        double& a = pair.current.count.data[numeric_cells[i]];
        double& s = pair.total.count.data[numeric_cells[i]];
        a += 1.0;
        s += 1.0;
        numeric_scores[i] = sketch_score(a, s, ticks);
    }
    const double record_score = add_and_score(record_counts, rows, buckets, ticks, record_cells);
    for (std::size_t j = 0; j < cd; ++j)
        categorical_scores[j] = add_and_score(categorical_counts[j], rows, buckets, ticks, categorical_cells(j));

    // A counter that wrapped to 0 would make the next record look like the first.
    entries_seen = saturating_add(entries_seen, 1);
    assemble(record_score, out);
}

Status MStream::preview_into(std::span<const float> numeric, std::span<const std::int64_t> categorical,
                             std::uint64_t timestamp, MStreamScore& out) const {
    Result<ClockStep> checked = check_record(numeric, categorical, timestamp);
    if (!checked) return checked.take_error();
    preview_checked(checked.value(), numeric, categorical, out);
    return {};
}

void MStream::preview_checked(ClockStep step, std::span<const float> numeric,
                              std::span<const std::int64_t> categorical, MStreamScore& out) const {
    check_consistent();

    // Every count is read as the ingest would leave it: decayed by the same
    // factor, then raised by the record itself. Scaling by a non-negative
    // factor and adding 1 keep the order of counts, so the row minimum can be
    // taken first and still equal the ingest's minimum.
    const double factor = step.elapsed > 0 ? std::pow(config.alpha, static_cast<double>(step.elapsed)) : 1.0;
    const Ticks ticks(step.tick);
    const bool first = entries_seen == 0;
    const std::uint64_t rows = config.num_rows;
    const std::uint64_t buckets = config.num_buckets;
    // With no rows the ingest's minimum stays +inf; 0 * inf would not.
    const auto decayed = [&](double min_current) { return rows == 0 ? kInfinity : factor * min_current + 1.0; };

    std::vector<double>& numeric_scores = out.numeric_features;
    std::vector<double>& categorical_scores = out.categorical_features;
    numeric_scores.resize(numeric.size());
    categorical_scores.resize(categorical.size());
    const Widened widened(numeric);
    const std::span<const double> values = widened.values();
    for (std::size_t i = 0; i < numeric.size(); ++i) {
        const auto& pair = numeric_counts[i];
        const double z = numeric_normalizer.normalize_for_preview(i, values[i], first);
        const std::uint64_t b = pair.current.bucket(z);
        const double a = factor * current_count(pair.current.count.data, pair.current.decay_index, b) + 1.0;
        const double s = pair.total.count.data[b] + 1.0;
        numeric_scores[i] = sketch_score(a, s, ticks);
    }

    const RowMinima record = row_minima(record_counts,
                                        shapes.verified ? shapes.record_shared
                                                        : same_hashing(record_counts.current, record_counts.total),
                                        rows, buckets, [&](const RecordSketch& k, std::uint64_t r) {
                                            return k.bucket(r, values, categorical);
                                        });
    const double record_score = sketch_score(decayed(record.current), record.total + 1.0, ticks);

    for (std::size_t j = 0; j < categorical.size(); ++j) {
        const auto& pair = categorical_counts[j];
        const std::int64_t code = categorical[j];
        const RowMinima m = row_minima(
            pair, shapes.verified ? shapes.categorical_shared[j] != 0 : same_hashing(pair.current, pair.total), rows,
            buckets, [&](const CategoricalSketch& k, std::uint64_t r) { return k.bucket(r, code); });
        categorical_scores[j] = sketch_score(decayed(m.current), m.total + 1.0, ticks);
    }

    assemble(record_score, out);
}

}  // namespace arbolet::mstream
