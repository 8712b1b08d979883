// Point queries over the whole forest: the query vector and the combination
// of the per-tree walks.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "common/internal_failure.hpp"
#include "rcf/forest/forest.hpp"
#include "rcf/tree/traversal.hpp"

namespace arbolet::rcf {

namespace {

// A point of input_dim values under internal shingling stands for the
// current shingle with its newest observation replaced (the buffer is not
// shifted), built in `buffer`; a point of full length is taken as it is.
Result<std::span<const float>> query_of(const Forest& forest, std::span<const float> point,
                                        std::vector<float>& buffer) {
    const PointStore& ps = forest.point_store;
    const std::uint64_t dims = ps.dim;
    const std::uint64_t n = point.size();
    if (ps.internal_shingling && n == ps.input_dim) {
        if (ps.shingle_buf.size() != dims || n > dims) fail("shingle buffer length does not match the dimension");
        buffer.assign(ps.shingle_buf.begin(), ps.shingle_buf.end());
        std::copy(point.begin(), point.end(), buffer.end() - static_cast<std::ptrdiff_t>(n));
        return std::span<const float>(buffer);
    }
    if (n == dims) return point;
    return EngineError::dimension_mismatch(dims, n);
}

// Every tree counts, empty ones included.
double tree_count(const Forest& forest) { return static_cast<double>(std::max<std::size_t>(forest.trees.size(), 1)); }

Result<double> combine_paths(const Forest& forest, std::span<const float> point, traversal::PathKind kind,
                             std::uint64_t threads) {
    // The per-call query and per-tree values live in this thread's buffers,
    // so that a score allocates nothing once they have grown.
    thread_local std::vector<float> query;
    Result<std::span<const float>> q = query_of(forest, point, query);
    if (!q) return q.take_error();
    // Each tree's value (by whichever thread), then the sum in tree order.
    // (A thread_local named inside the lambda would be each worker's own.)
    const std::size_t count = forest.trees.size();
    thread_local std::vector<double> per_tree;
    std::vector<double>& values = per_tree;
    values.resize(count);
    const std::span<const RcfTree> trees(forest.trees);
    if (threads <= 1 || count < 2) {
        traversal::path_values(trees, forest.point_store, q.value(), kind, values,
                               Forest::thread_scratch().path_steps);
    } else {
        for_tree_chunks(count, threads, [&](std::size_t begin, std::size_t end, std::size_t) {
            traversal::path_values(trees.subspan(begin, end - begin), forest.point_store, q.value(), kind,
                                   std::span<double>(values).subspan(begin, end - begin),
                                   Forest::thread_scratch().path_steps);
        });
    }
    return Forest::mean_of_trees(values);
}

// Ascending distances; NaN after every number; ties by row so that the
// selection and the order are reproducible.
struct NearerFirst {
    static std::uint64_t order_key(double x) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
        return (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
    }
    bool operator()(const traversal::NeighborCandidate& a, const traversal::NeighborCandidate& b) const {
        const bool a_nan = std::isnan(a.distance), b_nan = std::isnan(b.distance);
        if (a_nan != b_nan) return b_nan;
        if (!a_nan) {
            const std::uint64_t ka = order_key(a.distance), kb = order_key(b.distance);
            if (ka != kb) return ka < kb;
        }
        return a.row < b.row;
    }
};

}  // namespace

TreeScratch& Forest::thread_scratch() {
    thread_local TreeScratch scratch;
    return scratch;
}

double Forest::mean_of_trees(std::span<const double> values) {
    double sum = 0.0;
    for (const double v : values) sum += v;
    return sum / static_cast<double>(std::max<std::size_t>(values.size(), 1));
}

Status Forest::check_query(std::span<const float> point) const {
    const std::uint64_t n = point.size();
    if (n == point_store.dim || (point_store.internal_shingling && n == point_store.input_dim)) return {};
    return EngineError::dimension_mismatch(point_store.dim, n);
}

Result<double> Forest::score(std::span<const float> point, std::uint64_t threads) const {
    return combine_paths(*this, point, traversal::PathKind::Score, threads);
}

Result<double> Forest::displacement_score(std::span<const float> point, std::uint64_t threads) const {
    return combine_paths(*this, point, traversal::PathKind::Displacement, threads);
}

Result<double> Forest::density(std::span<const float> point, std::uint64_t threads) const {
    return combine_paths(*this, point, traversal::PathKind::Density, threads);
}

Result<std::vector<AttributionPair>> Forest::attribution(std::span<const float> point) const {
    std::vector<float> buffer;
    Result<std::span<const float>> q = query_of(*this, point, buffer);
    if (!q) return q.take_error();
    const std::size_t dims = q.value().size();
    std::vector<AttributionPair> total(dims);
    std::vector<AttributionPair> per_tree(dims);
    for (const RcfTree& tree : trees) {
        traversal::attribution_walk(tree, point_store, q.value(), per_tree);
        for (std::size_t i = 0; i < dims; ++i) {
            total[i].below += per_tree[i].below;
            total[i].above += per_tree[i].above;
        }
    }
    const double scale = 1.0 / tree_count(*this);
    for (AttributionPair& pair : total) {
        pair.below *= scale;
        pair.above *= scale;
    }
    return total;
}

Result<std::vector<Neighbor>> Forest::near_neighbors(std::span<const float> point, std::uint64_t top_k,
                                                     std::uint64_t percentile) const {
    std::vector<float> buffer;
    Result<std::span<const float>> q = query_of(*this, point, buffer);
    if (!q) return q.take_error();
    if (top_k == 0) return std::vector<Neighbor>{};

    const double threshold = static_cast<double>(percentile) / 100.0;
    std::vector<traversal::NeighborCandidate> found;
    found.reserve(2 * trees.size());
    TreeScratch& scratch = thread_scratch();
    for (const RcfTree& tree : trees)
        traversal::collect_neighbors(tree, point_store, q.value(), threshold, found, scratch.path_nodes,
                                     scratch.path_siblings);
    if (found.empty()) return std::vector<Neighbor>{};

    // Merge per row: sorting by (row, emission order) and folding each run
    // adds a row's score terms in the order they were found, as an ordered
    // map keyed by row would. Merged entries are written over the front of
    // the same buffer.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.row != b.row ? a.row < b.row : a.seq < b.seq;
    });
    const double count = tree_count(*this);
    std::size_t entries = 0;
    for (std::size_t i = 0; i < found.size();) {
        const std::uint64_t row = found[i].row;
        double score_sum = 0.0;
        double nearest = DBL_MAX;
        for (; i < found.size() && found[i].row == row; ++i) {
            score_sum += found[i].score;
            // A NaN distance fails the comparison and is ignored.
            if (found[i].distance < nearest) nearest = found[i].distance;
        }
        found[entries++] = {row, 0, score_sum / count, nearest};
    }
    found.resize(entries);

    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, entries));
    if (k < entries) {
        std::nth_element(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(k), found.end(), NearerFirst{});
        found.resize(k);
    }
    std::sort(found.begin(), found.end(), NearerFirst{});

    std::vector<Neighbor> result;
    result.reserve(k);
    for (std::size_t i = 0; i < k; ++i) {
        std::span<const float> row = point_store.row(found[i].row);
        result.push_back({found[i].score, std::vector<float>(row.begin(), row.end()), found[i].distance});
    }
    return result;
}

}  // namespace arbolet::rcf
