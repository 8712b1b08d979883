// Per-tree query walks: the path scores (score, displacement score, density),
// the attribution walk, the pruned near-neighbour visit and the imputation
// descent. All of them only read the tree and the point store.
//
// Every index taken from the state (child slots, point rows, cut
// dimensions, box rows) is range-checked, and every walk is bounded by the
// number of arena slots, so that a loaded document describing a cycle, a
// shared subtree or a dangling index ends the call with an internal failure
// instead of looping or reading out of bounds.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/platform.hpp"
#include "random/xoshiro.hpp"
#include "rcf/attribution.hpp"
#include "rcf/box_kernels.hpp"
#include "rcf/node_arena.hpp"
#include "rcf/point_store.hpp"
#include "rcf/tree/tree.hpp"

namespace arbolet::rcf::traversal {

// The node in a slot, refusing slots beyond the arena and vacant ones.
inline const Node& node_at(const NodeArena& arena, std::uint64_t slot) {
    check_index(slot, arena.nodes.size());
    const Node& n = arena.nodes[slot];
    if (n.kind == NodeKind::Vacant) [[unlikely]]
        fail("accessed freed or uninitialized node");
    return n;
}

// Read access to one tree whose dimensions were checked against the query
// once, so that the per-node work is a few comparisons.
class TreeReader {
public:
    // Fails when the tree or its box rows do not have `dims` columns.
    TreeReader(const RcfTree& tree, const PointStore& store, std::uint64_t dims);

    const RcfTree& tree() const { return tree_; }
    const Node& node(std::uint64_t slot) const {
        if (slot < slots_ && nodes_[slot].kind != NodeKind::Vacant) [[likely]]
            return nodes_[slot];
        return node_at(tree_.arena, slot);  // raises the failure
    }
    std::uint64_t slot_count() const { return slots_; }
    // Box rows laid down; a node's box is its row when it has one.
    std::uint64_t box_rows() const { return box_rows_; }
    bool has_box(const Node& n) const { return n.box_row() < box_rows_; }

    // Starts loading a leaf's point row (the match check reads it) while
    // other work goes on.
    void prefetch_row(const Node& leaf) const { store_.prefetch_row(leaf.point_idx()); }
    // The same for an internal node's box row, every cache line of it (a
    // row of 16 dimensions spans three).
    void prefetch_box(const Node& n) const {
        if (!has_box(n)) return;
        arbolet::prefetch_bytes(boxes_ + n.box_row() * stride_, stride_ * sizeof(float));
    }

    // An internal node's box: `min`, then `max` at `dims` values further on,
    // and its range sum. Its row, or else rebuilt from what lies under the
    // node into this thread's working storage, valid until the next
    // rebuild. A row number that is neither laid down nor "no row" fails.
    struct Box {
        const float* min;
        double range;
    };
    Box box(std::uint64_t slot, const Node& n) const {
        if (has_box(n)) [[likely]] {
            const float* row = boxes_ + n.box_row() * stride_;
            double range;
            std::memcpy(&range, row + 2 * dims_, sizeof range);
            return {row, range};
        }
        return rebuilt_box(slot, n);
    }
    Box rebuilt_box(std::uint64_t slot, const Node& n) const;
    // The box of internal node `n`, which keeps no row, from its children's:
    // `path_child`, whose box is `below` (min, then max), and the other one
    // (its row, its point, or rebuilt). Written to `out` (2 * dims floats),
    // which must not be `below`. A walk up a path rebuilds each box from the
    // one below it this way instead of from every point under it.
    Box merged_box(const Node& n, std::uint64_t path_child, const float* below, float* out) const;

    // Box gap of q at a box (kernels::box_gap).
    float box_gap(const Box& b, const float* x) const { return kernels::box_gap(wide_, b.min, b.min + dims_, x, dims_); }
    // The box gap of q at a box, if q lies outside it
    // (kernels::box_gap_if_outside_plain), with the kernel fixed by the
    // caller: Wide only in code compiled for AVX2 (the score walks), which
    // then inlines it.
    template <bool Wide>
    bool box_gap_if_outside(const Box& b, const float* x, float& gap) const {
        const float* mn = b.min;
        const float* mx = mn + dims_;
#if defined(ARBOLET_X86_DISPATCH)
        if constexpr (Wide) return kernels::box_gap_if_outside_avx2_inline(mn, mx, x, dims_, gap);
#endif
        return kernels::box_gap_if_outside_plain(mn, mx, x, dims_, gap);
    }
    // Whether the packed kernels run (kernels::wide_enabled, read once).
    bool wide() const { return wide_; }
    // Chance that a random cut of the node's box, widened to take in q,
    // falls between q and the box.
    double separation(std::uint64_t slot, std::span<const float> q) const {
        const Node& n = node(slot);
        const Box b = box(slot, n);
        return separation_of(box_gap(b, q.data()), b, q.data());
    }
    // The same from the box gap of x.
    double separation_of(float gap, const Box& b, const float* x) const {
        if (gap == 0.0f) return 0.0;
        const double range = b.range;
        if (range == 0.0) return 1.0;
        const double g = static_cast<double>(gap);
        if (std::isinf(g) || std::isinf(range)) [[unlikely]] return separation_in_double(b, x, g, range);
        return g / (range + g);
    }
    // separation_of where a span or a gap of finite coordinates passed the
    // largest float: both sums taken again in double precision, where they
    // cannot overflow, so that finite input never gives NaN. With an
    // infinite or NaN coordinate, the single-precision quotient as before.
    double separation_in_double(const Box& b, const float* x, double gap, double range) const;
    // Routing rule: ties go left, so that a NaN coordinate (which compares
    // false) goes right.
    std::uint64_t child_toward(const Node& n, std::span<const float> q) const {
        check_index(n.cut_dim(), dims_);
        return q[n.cut_dim()] <= n.cut_val ? n.left : n.right;
    }

    // The stored row of a leaf, exactly `dims` values long.
    std::span<const float> leaf_row(const Node& leaf) const;
    bool leaf_matches(const Node& leaf, std::span<const float> q) const;

private:
    const RcfTree& tree_;
    const PointStore& store_;
    std::uint64_t dims_;
    std::uint64_t box_rows_;
    std::uint64_t stride_;
    const float* boxes_;
    // The arena's nodes, taken once: a reader lives within one query, which
    // does not change the tree.
    const Node* nodes_;
    std::uint64_t slots_;
    bool wide_;
};

// Sum over dimensions of the single-precision |a - b|, widened, in double.
double l1_distance(std::span<const float> a, std::span<const float> b, bool wide);

enum class PathKind { Score, Displacement, Density };

// Each tree's contribution to score, displacement_score or density (0.0 for
// an empty tree), into `out` (one per tree). `path` is reusable working
// storage.
void path_values(std::span<const RcfTree> trees, const PointStore& store, std::span<const float> q, PathKind kind,
                 std::span<double> out, std::vector<PathStep>& path);

// Fills `pairs` (`dims` entries, zeroed by the walk) with one tree's
// attribution.
void attribution_walk(const RcfTree& tree, const PointStore& store, std::span<const float> q,
                      std::span<AttributionPair> pairs);

struct NeighborCandidate {
    std::uint64_t row;
    std::uint64_t seq;  // emission order, so that per-row sums keep it
    double score;
    double distance;
};

// Appends the candidates of one non-empty tree in visiting order.
// `stack_nodes` / `stack_depths` are reusable working storage.
void collect_neighbors(const RcfTree& tree, const PointStore& store, std::span<const float> q, double threshold,
                       std::vector<NeighborCandidate>& out, std::vector<std::uint64_t>& stack_nodes,
                       std::vector<std::uint64_t>& stack_depths);

struct ImputeCandidate {
    std::uint64_t row;
    double distance;
};

// The leaf one non-empty tree nominates for imputation. `missing` has one
// flag per dimension; `rng` is the tree's descent generator and is drawn
// only when centrality < 1 (or NaN).
ImputeCandidate impute_descent(const RcfTree& tree, const PointStore& store, std::span<const float> q,
                               std::span<const std::uint8_t> missing, double centrality, Xoshiro256PlusPlus& rng,
                               std::vector<std::uint64_t>& stack);

}  // namespace arbolet::rcf::traversal
