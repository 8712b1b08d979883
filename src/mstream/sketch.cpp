#include "mstream/sketch.hpp"

#include "mstream/detector.hpp"

namespace arbolet::mstream {

void decay_counts(std::span<double> counts, double factor) {
    double* p = counts.data();
    const std::size_t n = counts.size();
    std::size_t i = 0;
    // A fixed-width block body lets the vectoriser use packed multiplies
    // without a runtime trip-count check.
    for (; i + 8 <= n; i += 8)
        for (std::size_t k = 0; k < 8; ++k) p[i + k] *= factor;
    for (; i < n; ++i) p[i] *= factor;
}

RecordSketch RecordSketch::build(const MStreamConfig& config, Xoshiro256PlusPlus& rng) {
    const std::uint64_t rows = config.num_rows;
    const std::uint64_t buckets = config.num_buckets;
    RecordSketch sketch;
    sketch.num_rows = rows;
    sketch.num_buckets = buckets;
    sketch.numeric_dim = config.numeric_dim;
    sketch.categorical_dim = config.categorical_dim;

    sketch.numeric_planes = Matrix<double>::zeros({rows, plane_count(buckets), config.numeric_dim});
    for (double& value : sketch.numeric_planes.data) value = rng.standard_normal();

    sketch.categorical_coeffs = Matrix<std::int64_t>::zeros({rows, config.categorical_dim});
    const std::uint64_t features = config.categorical_dim;
    for (std::uint64_t r = 0; r < rows; ++r) {
        std::int64_t* row = sketch.categorical_coeffs.data.data() + r * features;
        for (std::uint64_t j = 0; j < features; ++j) {
            const std::uint64_t value = j + 1 < features ? 1 + rng.below(buckets - 1) : rng.below(buckets);
            row[j] = static_cast<std::int64_t>(value);
        }
    }

    sketch.count = Matrix<double>::zeros({rows, buckets});
    return sketch;
}

namespace {

// Plain left-to-right sum below 8 features; from 8 on, eight interleaved
// partial sums combined pairwise, then the leftover products in order.
double dot(const double* plane, const float* values, std::size_t n) {
    if (n < 8) {
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) sum += plane[k] * static_cast<double>(values[k]);
        return sum;
    }
    double partial[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const std::size_t blocked = n - n % 8;
    for (std::size_t i = 0; i < blocked; i += 8)
        for (std::size_t k = 0; k < 8; ++k) partial[k] += plane[i + k] * static_cast<double>(values[i + k]);
    double sum = 0.0;
    sum += partial[0] + partial[4];
    sum += partial[1] + partial[5];
    sum += partial[2] + partial[6];
    sum += partial[3] + partial[7];
    for (std::size_t k = blocked; k < n; ++k) sum += plane[k] * static_cast<double>(values[k]);
    return sum;
}

}  // namespace

std::uint64_t RecordSketch::bucket(std::uint64_t row, std::span<const float> numeric,
                                   std::span<const std::int64_t> categorical) const {
    const std::uint64_t buckets = num_buckets;

    std::uint64_t q = 0;
    const std::int64_t* coeffs = categorical_coeffs.data.data() + row * categorical.size();
    for (std::size_t j = 0; j < categorical.size(); ++j) {
        const std::uint64_t o =
            fold(static_cast<std::uint64_t>(categorical[j]) ^ row ^ kValueConstant, kHashMultiplier);
        const std::uint64_t t = fold(o, static_cast<std::uint64_t>(coeffs[j]) ^ kCoefficientConstant);
        q = add_mod(q, std::rotl(t, static_cast<int>(o & 63)), buckets);
    }

    std::uint64_t g = 0;
    const std::size_t n = numeric.size();
    if (n > 0) {
        const std::uint64_t planes = plane_count(buckets);
        const double* plane = numeric_planes.data.data() + row * planes * n;
        for (std::uint64_t i = 0; i < planes; ++i, plane += n)
            if (dot(plane, numeric.data(), n) > 0.0) g |= std::uint64_t{1} << i;
    }
    return add_mod(q, g, buckets);
}

NumericSketch NumericSketch::build(std::uint64_t num_buckets) {
    NumericSketch sketch;
    sketch.num_buckets = num_buckets;
    sketch.count = Matrix<double>::zeros({num_buckets});
    return sketch;
}

CategoricalSketch CategoricalSketch::build(std::uint64_t num_rows, std::uint64_t num_buckets,
                                           Xoshiro256PlusPlus& rng) {
    CategoricalSketch sketch;
    sketch.num_rows = num_rows;
    sketch.num_buckets = num_buckets;
    sketch.hash_a = Matrix<std::int64_t>::zeros({num_rows});
    for (std::int64_t& a : sketch.hash_a.data) a = static_cast<std::int64_t>(1 + rng.below(num_buckets - 1));
    sketch.hash_b = Matrix<std::int64_t>::zeros({num_rows});
    for (std::int64_t& b : sketch.hash_b.data) b = static_cast<std::int64_t>(rng.below(num_buckets));
    sketch.count = Matrix<double>::zeros({num_rows, num_buckets});
    return sketch;
}

}  // namespace arbolet::mstream
