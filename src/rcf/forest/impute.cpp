// Imputation of missing dimensions and extrapolation over the shingle. Both
// read the forest generator without advancing it, so repeated calls on an
// unchanged forest agree.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "rcf/bounding_box.hpp"
#include "rcf/forest/forest.hpp"
#include "rcf/tree/traversal.hpp"

namespace arbolet::rcf {

namespace {

// One nominated row per tree that holds points, in tree order. Every tree
// takes its descent seed from the query generator, empty or not, so a
// tree's draws do not depend on which other trees hold points.
void imputation_query(const Forest& forest, std::span<const float> q, std::span<const std::uint8_t> missing,
                      double centrality, std::uint64_t seed, std::vector<std::uint64_t>& rows) {
    rows.clear();
    Xoshiro256PlusPlus query_rng = Xoshiro256PlusPlus::seeded(seed);
    for (const RcfTree& tree : forest.trees) {
        const std::uint64_t descent_seed = query_rng.next_u64();
        if (tree.root == kNone || tree.tree_mass == 0) continue;
        Xoshiro256PlusPlus descent_rng = Xoshiro256PlusPlus::seeded(descent_seed);
        rows.push_back(traversal::impute_descent(tree, forest.point_store, q, missing, centrality, descent_rng,
                                                 Forest::thread_scratch().path_nodes)
                           .row);
    }
}

// IEEE total order: negative NaNs, -inf ... -0.0, +0.0 ... +inf, positive NaNs.
bool total_less(float a, float b) {
    auto key = [](float x) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
        return (bits >> 31) ? ~bits : bits | 0x80000000u;
    };
    return key(a) < key(b);
}

// Median of dimension j over the nominated rows, found by selection. For an
// even count it averages the middle value with the largest non-NaN value
// ranked below it.
float median_at(const PointStore& store, std::span<const std::uint64_t> rows, std::uint64_t j,
                std::vector<float>& values) {
    values.clear();
    for (std::uint64_t r : rows) {
        std::span<const float> row = store.row(r);
        check_index(j, row.size());
        values.push_back(row[j]);
    }
    const std::size_t h = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(h), values.end(), total_less);
    const float middle = values[h];
    if (values.size() % 2 == 1) return middle;
    float below = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < h; ++i) below = max_num(below, values[i]);
    return (below + middle) * 0.5f;
}

}  // namespace

Result<std::vector<float>> Forest::impute(std::span<const float> point, std::span<const std::uint64_t> missing,
                                          double centrality) const {
    if (missing.empty()) return EngineError::invalid_argument("missing list is empty");
    const PointStore& ps = point_store;
    const std::uint64_t dims = ps.dim;
    // One observation under internal shingling stands, as in score, for the
    // current window with its newest observation replaced; its indices are
    // the last input_dim of that window's.
    const bool observation = ps.internal_shingling && point.size() == ps.input_dim && point.size() != dims;
    if (point.size() != dims && !observation) return EngineError::dimension_mismatch(dims, point.size());
    if (observation && ps.shingle_buf.size() != dims) fail("shingle buffer length does not match the dimension");
    const std::uint64_t offset = observation ? dims - point.size() : 0;
    std::vector<float> query;
    if (observation) {
        query.assign(ps.shingle_buf.begin(), ps.shingle_buf.end());
        std::copy(point.begin(), point.end(), query.begin() + static_cast<std::ptrdiff_t>(offset));
    } else {
        query.assign(point.begin(), point.end());
    }
    std::vector<std::uint8_t> mask(dims, 0);
    for (std::uint64_t i : missing) {
        if (i >= point.size()) return EngineError::index_out_of_bounds(i);
        mask[offset + i] = 1;
    }

    std::vector<std::uint64_t> rows;
    rows.reserve(trees.size());
    imputation_query(*this, query, mask, centrality, rng.peek_u64(), rows);
    if (rows.empty()) return EngineError::not_ready();

    std::vector<float> result(point.begin(), point.end());
    std::vector<float> values;
    values.reserve(rows.size());
    for (std::uint64_t i : missing) result[i] = median_at(ps, rows, offset + i, values);
    return result;
}

Result<std::vector<float>> Forest::extrapolate(std::uint64_t look_ahead) const {
    const PointStore& ps = point_store;
    if (!ps.internal_shingling)
        return EngineError::invalid_argument("extrapolation requires internal_shingling = true");
    if (ps.shingle_size < 2) return EngineError::invalid_argument("extrapolation requires shingle_size > 1");
    if (look_ahead == 0) return std::vector<float>{};
    if (look_ahead > ps.shingle_size)
        return EngineError::invalid_argument("extrapolation requires look_ahead <= shingle_size (got " +
                                             std::to_string(look_ahead) +
                                             ", shingle_size=" + std::to_string(ps.shingle_size) + ")");

    const std::uint64_t dims = ps.dim;
    const std::uint64_t block = ps.input_dim;
    std::uint64_t expected_dims = 0;
    if (!checked_mul(block, ps.shingle_size, expected_dims) || expected_dims != dims || ps.shingle_buf.size() != dims)
        fail("shingle buffer length does not match input_dim * shingle_size");

    // Each step moves the window one observation on (the oldest block
    // dropped, the others moved towards the front) and imputes the newest
    // block from the rest, so step k forecasts k + 1 observations ahead from
    // the real observations and the forecasts made before it.
    std::vector<float> working(ps.shingle_buf);
    std::vector<std::uint8_t> mask(dims, 0);
    const std::uint64_t lo = dims - block;
    std::fill(mask.begin() + static_cast<std::ptrdiff_t>(lo), mask.end(), std::uint8_t{1});
    std::vector<std::uint64_t> rows;
    rows.reserve(trees.size());
    std::vector<float> values;
    values.reserve(trees.size());
    std::vector<float> result;
    result.reserve(look_ahead * block);
    Xoshiro256PlusPlus step_rng = rng;
    StopPoll poll;
    for (std::uint64_t k = 0; k < look_ahead; ++k) {
        if (poll.stop_requested()) return EngineError::interrupted();
        std::copy(working.begin() + static_cast<std::ptrdiff_t>(block), working.end(), working.begin());
        step_rng.next_u64();
        imputation_query(*this, working, mask, 1.0, step_rng.peek_u64(), rows);
        if (rows.empty()) return EngineError::not_ready();
        for (std::uint64_t i = lo; i < dims; ++i) {
            const float v = median_at(ps, rows, i, values);
            working[i] = v;
            result.push_back(v);
        }
    }
    return result;
}

}  // namespace arbolet::rcf
