#include "rcf/tree/traversal.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

namespace arbolet::rcf::traversal {

namespace {

[[noreturn]] void walk_too_long() { fail("tree walk visits more nodes than the arena holds (cycle in the tree)"); }

}  // namespace

TreeReader::TreeReader(const RcfTree& tree, const PointStore& store, std::uint64_t dims)
    : tree_(tree), store_(store), dims_(dims), box_rows_(tree.arena.box_row_count()),
      stride_(tree.arena.row_stride()), boxes_(tree.arena.boxes.data()), nodes_(tree.arena.nodes.data()),
      slots_(tree.arena.nodes.size()), wide_(dims >= kernels::kWideFrom && kernels::wide_enabled()) {
    if (tree.dims != dims || tree.arena.dims != dims) fail("tree dimension does not match the forest dimension");
}

TreeReader::Box TreeReader::rebuilt_box(std::uint64_t slot, const Node& n) const {
    // Any row number but "no row" must be laid down.
    if (n.box_row() != Node::kNoBox) check_index(n.box_row(), box_rows_);
    thread_local BoxWork work;
    float* out = work.box(0, dims_);
    const double range = tree_.arena.compute_box(slot, store_, out, work.stack);
    return {out, range};
}

TreeReader::Box TreeReader::merged_box(const Node& n, std::uint64_t path_child, const float* below, float* out) const {
    if (n.box_row() != Node::kNoBox) check_index(n.box_row(), box_rows_);
    const bool left_on_path = n.left == path_child;
    if (!left_on_path && n.right != path_child) fail("internal error: entered unreachable code");
    const std::uint64_t other = left_on_path ? n.right : n.left;
    thread_local BoxWork work;
    const NodeArena::BoxView o = tree_.arena.box_view(other, store_, work, 0);
    const float* l_min = left_on_path ? below : o.min;
    const float* l_max = left_on_path ? below + dims_ : o.max;
    const float* r_min = left_on_path ? o.min : below;
    const float* r_max = left_on_path ? o.max : below + dims_;
    bool changed = false;
    const double range = kernels::merge_boxes(wide_, l_min, l_max, r_min, r_max, out, out + dims_, dims_, changed);
    return {out, range};
}

double TreeReader::separation_in_double(const Box& b, const float* x, double gap, double range) const {
    const float* mn = b.min;
    const float* mx = mn + dims_;
    double wide_gap = 0.0, wide_range = 0.0;
    for (std::uint64_t d = 0; d < dims_; ++d) {
        if (x[d] < mn[d])
            wide_gap += static_cast<double>(mn[d]) - static_cast<double>(x[d]);
        else if (x[d] > mx[d])
            wide_gap += static_cast<double>(x[d]) - static_cast<double>(mx[d]);
        wide_range += static_cast<double>(mx[d]) - static_cast<double>(mn[d]);
    }
    if (!std::isfinite(wide_gap) || !std::isfinite(wide_range)) return gap / (range + gap);
    if (wide_range == 0.0) return 1.0;
    return wide_gap / (wide_range + wide_gap);
}

std::span<const float> TreeReader::leaf_row(const Node& leaf) const {
    std::span<const float> row = store_.row(leaf.point_idx());
    if (row.size() != dims_) fail("stored point length does not match the forest dimension");
    return row;
}

bool TreeReader::leaf_matches(const Node& leaf, std::span<const float> q) const {
    std::span<const float> row = store_.row(leaf.point_idx());
    if (row.size() != q.size()) return false;
    for (std::size_t i = 0; i < row.size(); ++i)
        if (!(row[i] == q[i])) return false;
    return true;
}

double l1_distance(std::span<const float> a, std::span<const float> b, bool wide) {
    if (a.size() != b.size()) fail("distance between points of different lengths");
    return kernels::l1_distance(wide, a.data(), b.data(), nullptr, a.size());
}

namespace {

// log2(tree_mass + 1), remembered for the last mass seen by this thread: the
// trees of a forest mostly hold the same number of points, and a logarithm
// costs as much as several levels of a walk. The same call gives the same
// bits, so remembering it changes no result.
double lift_of(double tree_mass) {
    thread_local double last_mass = 0.0;
    thread_local double last_lift = 0.0;  // log2(0 + 1)
    if (tree_mass != last_mass) {
        last_lift = std::log2(tree_mass + 1.0);
        last_mass = tree_mass;
    }
    return last_lift;
}

// S, U, A and N of the generic path score, and the density rule, as one
// policy per kind so that the walk below compiles to straight-line code.
struct ScorePolicy {
    static double leaf(bool match, double depth, double m, double tree_mass) {
        if (!match) return 1.0 / (depth + 1.0);
        const double damp = tree_mass == 0.0 ? 1.0 : 1.0 - m / (2.0 * tree_mass);
        return damp * (1.0 / (depth + std::log2(m + 1.0)));
    }
    static double unseen(double depth, double /*mass*/) { return 1.0 / (depth + 1.0); }
    static double normalise(double v, double tree_mass) { return v * lift_of(tree_mass); }
};

struct DisplacementPolicy {
    static double leaf(bool match, double /*depth*/, double m, double tree_mass) {
        if (!match) return m;
        const double damp = tree_mass == 0.0 ? 1.0 : 1.0 - m / (2.0 * tree_mass);
        return damp * (1.0 / (m + 1.0));
    }
    static double unseen(double /*depth*/, double mass) { return mass; }
    static double normalise(double v, double tree_mass) { return v / (tree_mass + 1.0); }
};

struct DensityPolicy {
    static double leaf(bool match, double /*depth*/, double m, double /*tree_mass*/) { return match ? m : 0.0; }
    static double unseen(double /*depth*/, double mass) { return mass; }
    static double normalise(double v, double /*tree_mass*/) { return v; }
};

// The recursion v(node) = (1 - p) v(child) + p U(node) is evaluated as a
// descent that records the path, then a fold from the leaf back up: same
// operations in the same order, no call stack.
//
// A descent is a chain of dependent loads (each node names the next), so
// several trees descend together, one level of each in turn, and their
// loads overlap; the boxes of the path are asked for on the way down.
//
// The fold stops at the first box that holds q (gap 0): every box above
// holds that box, so q lies in them too, their p is 0 and v stays as it is.
// Most of a path lies above that point, so most box gaps are never
// computed. A box with a NaN bound (every point below it NaN there) does
// not bound the boxes above in that dimension; its range sum is NaN then,
// and the fold goes on.
constexpr std::size_t kLanes = 8;

template <class Policy, bool Wide>
double fold_up(const TreeReader& r, const float* x, const PathStep* steps, std::size_t depth, const Node& leaf,
               std::uint64_t leaf_slot, std::span<const float> q) {
    const double tree_mass = static_cast<double>(r.tree().tree_mass);
    double v = Policy::leaf(r.leaf_matches(leaf, q), static_cast<double>(depth), static_cast<double>(leaf.mass),
                            tree_mass);
    // The box of the level below, for rebuilding a box that has no row:
    // the leaf's point first, then each box in turn (a row, or one of the
    // two rebuilt ones, used alternately).
    thread_local std::vector<float> rebuilt;
    const std::size_t dims = q.size();
    const float* below = nullptr;
    std::uint64_t below_slot = leaf_slot;
    float* spare = nullptr;
    for (std::size_t i = depth; i-- > 0;) {
        const Node& at = r.node(steps[i].slot);
        TreeReader::Box box;
        if (r.has_box(at)) [[likely]] {
            box = r.box(steps[i].slot, at);
        } else {
            if (spare == nullptr) {
                if (rebuilt.size() < 6 * dims) rebuilt.resize(6 * dims);
                spare = rebuilt.data();
            }
            if (below == nullptr) {
                // The leaf's row, laid down as a box (minima, then maxima).
                const std::span<const float> row = r.leaf_row(leaf);
                std::copy(row.begin(), row.end(), rebuilt.begin() + 4 * dims);
                std::copy(row.begin(), row.end(), rebuilt.begin() + 5 * dims);
                below = rebuilt.data() + 4 * dims;
            }
            box = r.merged_box(at, below_slot, below, spare);
            spare = spare == rebuilt.data() ? rebuilt.data() + 2 * dims : rebuilt.data();
        }
        below = box.min;
        below_slot = steps[i].slot;
        const double range = box.range;
        float gap;
        if (!r.box_gap_if_outside<Wide>(box, x, gap)) {
            if (std::isnan(range)) continue;
            break;
        }
        const double p = r.separation_of(gap, box, x);
        const double u = Policy::unseen(static_cast<double>(i), static_cast<double>(steps[i].mass));
        v = (1.0 - p) * v + p * u;
    }
    return Policy::normalise(v, tree_mass);
}

template <class Policy, bool Wide>
void fold_paths_body(std::span<const RcfTree> trees, const PointStore& store, std::span<const float> q,
                     std::span<double> out, std::vector<PathStep>& path) {
    const float* x = q.data();
    // `path` holds kLanes equal regions, grown (it only grows) when a path
    // outruns them.
    if (path.size() < kLanes * 32) path.resize(kLanes * 32);
    // Groups of near-equal size (50 trees: 7 or 8 a group, not six of 8
    // and one of 2): a group's descent takes as many rounds as its deepest
    // path whatever its size, and a small group overlaps few loads.
    const std::size_t groups = (trees.size() + kLanes - 1) / kLanes;
    for (std::size_t g = 0, base = 0; g < groups; ++g) {
        const std::size_t lanes = (g + 1) * trees.size() / groups - base;
        std::optional<TreeReader> reader[kLanes];
        const Node* node[kLanes] = {};
        std::uint64_t slot[kLanes];
        std::size_t depth[kLanes];
        std::uint32_t walking = 0;
        for (std::size_t k = 0; k < lanes; ++k) {
            const RcfTree& tree = trees[base + k];
            depth[k] = 0;
            if (tree.root == kNone || tree.tree_mass == 0) {
                out[base + k] = 0.0;
                continue;
            }
            reader[k].emplace(tree, store, q.size());
            slot[k] = tree.root;
            node[k] = &reader[k]->node(tree.root);
            walking |= std::uint32_t{1} << k;
        }
        std::size_t room = path.size() / kLanes;
        PathStep* steps = path.data();
        while (walking != 0) {
            for (std::uint32_t left = walking; left != 0; left &= left - 1) {
                const std::size_t k = static_cast<std::size_t>(std::countr_zero(left));
                const TreeReader& r = *reader[k];
                const Node* n = node[k];
                if (!n->is_internal()) {
                    walking &= ~(std::uint32_t{1} << k);
                    r.prefetch_row(*n);
                    continue;
                }
                const std::size_t d = depth[k];
                if (d >= r.slot_count()) walk_too_long();
                if (d >= room) [[unlikely]] {
                    // Spread the regions out to twice their length, last first.
                    path.resize(2 * path.size());
                    steps = path.data();
                    for (std::size_t j = kLanes; j-- > 1;)
                        std::memmove(steps + j * 2 * room, steps + j * room, room * sizeof(PathStep));
                    room *= 2;
                }
                const std::uint64_t next = r.child_toward(*n, q);
                steps[k * room + d] = {n->mass, slot[k]};
                depth[k] = d + 1;
                slot[k] = next;
                node[k] = &r.node(next);
                if (node[k]->is_internal()) r.prefetch_box(*node[k]);
            }
        }
        for (std::size_t k = 0; k < lanes; ++k)
            if (reader[k])
                out[base + k] = fold_up<Policy, Wide>(*reader[k], x, steps + k * room, depth[k], *node[k], slot[k], q);
        base += lanes;
    }
}

#if defined(ARBOLET_X86_DISPATCH)
template <class Policy>
ARBOLET_TARGET_AVX2_FLATTEN void fold_paths_wide(std::span<const RcfTree> trees, const PointStore& store,
                                                 std::span<const float> q, std::span<double> out,
                                                 std::vector<PathStep>& path) {
    fold_paths_body<Policy, true>(trees, store, q, out, path);
    _mm256_zeroupper();
}
#endif

template <class Policy>
void fold_paths(std::span<const RcfTree> trees, const PointStore& store, std::span<const float> q,
                std::span<double> out, std::vector<PathStep>& path) {
#if defined(ARBOLET_X86_DISPATCH)
    if (q.size() >= kernels::kWideFrom && kernels::wide_enabled())
        return fold_paths_wide<Policy>(trees, store, q, out, path);
#endif
    fold_paths_body<Policy, false>(trees, store, q, out, path);
}

}  // namespace

void path_values(std::span<const RcfTree> trees, const PointStore& store, std::span<const float> q, PathKind kind,
                 std::span<double> out, std::vector<PathStep>& path) {
    if (out.size() != trees.size()) fail("path value list length does not match the trees");
    switch (kind) {
        case PathKind::Score:
            return fold_paths<ScorePolicy>(trees, store, q, out, path);
        case PathKind::Displacement:
            return fold_paths<DisplacementPolicy>(trees, store, q, out, path);
        case PathKind::Density:
            return fold_paths<DensityPolicy>(trees, store, q, out, path);
    }
    fail("internal error: entered unreachable code");
}

namespace {

// The shares of one node's separation term in double precision, `scale`
// being the attribution's lift times the depth weight times what remains.
void credit_in_double(const TreeReader::Box& box, std::span<const float> q, double scale,
                      std::span<AttributionPair> pairs) {
    const float* mn = box.min;
    const float* mx = mn + q.size();
    double gap = 0.0, range = 0.0;
    for (std::size_t d = 0; d < q.size(); ++d) {
        if (q[d] < mn[d])
            gap += static_cast<double>(mn[d]) - static_cast<double>(q[d]);
        else if (q[d] > mx[d])
            gap += static_cast<double>(q[d]) - static_cast<double>(mx[d]);
        range += static_cast<double>(mx[d]) - static_cast<double>(mn[d]);
    }
    const double den = range == 0.0 ? gap : range + gap;
    if (!std::isfinite(den) || !(den > 0.0)) return;
    for (std::size_t d = 0; d < q.size(); ++d) {
        if (q[d] < mn[d])
            pairs[d].above += scale * ((static_cast<double>(mn[d]) - static_cast<double>(q[d])) / den);
        else if (q[d] > mx[d])
            pairs[d].below += scale * ((static_cast<double>(q[d]) - static_cast<double>(mx[d])) / den);
    }
}

}  // namespace

void attribution_walk(const RcfTree& tree, const PointStore& store, std::span<const float> q,
                      std::span<AttributionPair> pairs) {
    std::fill(pairs.begin(), pairs.end(), AttributionPair{});
    if (tree.root == kNone || tree.tree_mass == 0) return;
    const TreeReader r(tree, store, q.size());
    if (pairs.size() != q.size()) fail("attribution vector length does not match the forest dimension");

    const double lift = lift_of(static_cast<double>(tree.tree_mass));
    const std::uint64_t limit = r.slot_count();
    const std::size_t dims = q.size();
    double remaining = 1.0;
    std::uint64_t depth = 0;
    std::uint64_t slot = tree.root;
    for (const Node* n = &r.node(slot); n->is_internal(); n = &r.node(slot)) {
        if (depth >= limit) walk_too_long();
        const std::uint64_t next = r.child_toward(*n, q);
        const TreeReader::Box box = r.box(slot, *n);
        const float gap = r.box_gap(box, q.data());
        const double p = r.separation_of(gap, box, q.data());
        // A NaN p (an infinite gap over an infinite range) is not > 0 and is
        // skipped without touching `remaining`.
        if (p > 0.0) {
            // The node's separation term is shared among the dimensions in
            // which the query lies outside the box, in proportion to how far
            // outside: the cuts that separate it fall in those gaps. With
            // an empty range p is 1 and the shares are the gaps over the gap.
            const double range = box.range;
            const double den = range == 0.0 ? static_cast<double>(gap) : range + static_cast<double>(gap);
            if (std::isfinite(den)) {
                const double weight = 1.0 / (static_cast<double>(depth) + 1.0);
                // The cuts that separate a query below the box lie above its
                // value, and the other way round.
                auto credit = [&](std::size_t i, float g, bool below_box) {
                    if (!(g > 0.0f)) return;
                    const double add = lift * (weight * (remaining * (static_cast<double>(g) / den)));
                    if (below_box)
                        pairs[i].above += add;
                    else
                        pairs[i].below += add;
                };
                const float* mn = box.min;
                const float* mx = mn + dims;
                // Four dimensions at a time, with the gaps of the box gap
                // kernels; most blocks hold the query inside the box. Each
                // dimension takes at most one share per node, so the shares
                // of a block may be added in any order: the outside lanes are
                // visited by their bits, and the side a share goes to is
                // picked without a branch (which side is unpredictable).
                std::size_t d = 0;
#if defined(ARBOLET_VECTOR_EXTENSIONS)
                for (; d + 4 <= dims; d += 4) {
                    const kernels::LaneGaps gaps = kernels::lane_gaps(mn, mx, q.data(), d);
                    const kernels::U4 outside = gaps.is_below | gaps.is_above;
                    unsigned lanes = kernels::lane_bits(outside);
                    if (lanes == 0) continue;
                    const kernels::F4 g = gaps.gap;
                    const kernels::U4 is_below = gaps.is_below;
                    for (; lanes != 0; lanes &= lanes - 1) {
                        const int j = std::countr_zero(lanes);
                        const double add = lift * (weight * (remaining * (static_cast<double>(g[j]) / den)));
                        AttributionPair& pair = pairs[d + static_cast<std::size_t>(j)];
                        *(is_below[j] != 0 ? &pair.above : &pair.below) += add;
                    }
                }
#endif
                for (; d < dims; ++d) {
                    if (q[d] < mn[d])
                        credit(d, mn[d] - q[d], true);
                    else if (q[d] > mx[d])
                        credit(d, q[d] - mx[d], false);
                }
            } else {
                // A span or gap of finite coordinates past the largest float
                // (p was then taken in double precision): the shares too.
                credit_in_double(box, q, lift / (static_cast<double>(depth) + 1.0) * remaining, pairs);
            }
            remaining *= 1.0 - p;
        }
        ++depth;
        slot = next;
    }
}

void collect_neighbors(const RcfTree& tree, const PointStore& store, std::span<const float> q, double threshold,
                       std::vector<NeighborCandidate>& out, std::vector<std::uint64_t>& stack_nodes,
                       std::vector<std::uint64_t>& stack_depths) {
    if (tree.root == kNone || tree.tree_mass == 0) return;
    const TreeReader r(tree, store, q.size());
    const double lift = lift_of(static_cast<double>(tree.tree_mass));
    const std::uint64_t limit = r.slot_count();

    // Depth-first with an explicit stack: the preferred child is pushed last
    // so that its whole subtree is emitted before the other child's, the
    // order in which the recursive visit emits candidates.
    stack_nodes.clear();
    stack_depths.clear();
    stack_nodes.push_back(tree.root);
    stack_depths.push_back(0);
    std::uint64_t steps = 0;
    while (!stack_nodes.empty()) {
        const std::uint64_t slot = stack_nodes.back();
        const std::uint64_t depth = stack_depths.back();
        stack_nodes.pop_back();
        stack_depths.pop_back();
        if (++steps > limit) walk_too_long();
        const Node& n = r.node(slot);
        if (n.is_leaf()) {
            const double term = lift / (static_cast<double>(depth) + 1.0);
            out.push_back({n.point_idx(), out.size(), term, l1_distance(q, r.leaf_row(n), r.wide())});
            continue;
        }
        const double p = r.separation(slot, q);
        if (depth > 0 && !(p > threshold)) continue;
        check_index(n.cut_dim(), q.size());
        const bool goes_left = q[n.cut_dim()] <= n.cut_val;
        if (p > 0.5) {
            stack_nodes.push_back(goes_left ? n.right : n.left);
            stack_depths.push_back(depth + 1);
        }
        stack_nodes.push_back(goes_left ? n.left : n.right);
        stack_depths.push_back(depth + 1);
    }
}

ImputeCandidate impute_descent(const RcfTree& tree, const PointStore& store, std::span<const float> q,
                               std::span<const std::uint8_t> missing, double centrality, Xoshiro256PlusPlus& rng,
                               std::vector<std::uint64_t>& stack) {
    if (tree.root == kNone) fail("imputation descent on an empty tree");
    const TreeReader r(tree, store, q.size());
    if (missing.size() != q.size()) fail("missing mask length does not match the forest dimension");
    const std::uint64_t limit = r.slot_count();
    const bool nearest_only = centrality >= 1.0;  // false for NaN, which draws like any value below 1
    const double switch_chance = 1.0 - centrality;

    // Left-first depth-first order, carrying one best candidate through
    // every leaf reached: the order in which the recursive descent meets them.
    bool have_best = false;
    ImputeCandidate best{kNone, 0.0};
    stack.clear();
    stack.push_back(tree.root);
    std::uint64_t steps = 0;
    while (!stack.empty()) {
        const std::uint64_t slot = stack.back();
        stack.pop_back();
        if (++steps > limit) walk_too_long();
        const Node& n = r.node(slot);
        if (n.is_internal()) {
            check_index(n.cut_dim(), q.size());
            if (missing[n.cut_dim()]) {
                stack.push_back(n.right);
                stack.push_back(n.left);
            } else {
                stack.push_back(r.child_toward(n, q));
            }
            continue;
        }
        const std::span<const float> row = r.leaf_row(n);
        const double distance = kernels::l1_distance(r.wide(), q.data(), row.data(), missing.data(), row.size());
        if (!have_best) {
            best = {n.point_idx(), distance};
            have_best = true;
        } else if (nearest_only) {
            if (distance < best.distance) best = {n.point_idx(), distance};
        } else {
            const double u = rng.uniform_f64();
            if (distance < best.distance || u < switch_chance) best = {n.point_idx(), distance};
        }
    }
    return best;
}

}  // namespace arbolet::rcf::traversal
