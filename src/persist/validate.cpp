#include "persist/validate.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"
#include "mstream/detector.hpp"
#include "rcf/forest/forest.hpp"

namespace arbolet::persist {

namespace {

using rcf::kNone;
using rcf::Node;
using rcf::NodeKind;
using std::to_string;

std::string inconsistent(const std::string& what) { return "inconsistent state: " + what; }

std::string check_point_store(const rcf::RcfConfig& config, const rcf::PointStore& ps, Decoded from) {
    std::uint64_t d = 0;
    if (!checked_mul(config.input_dim, config.shingle_size, d))
        return inconsistent("input_dim * shingle_size does not fit in 64 bits");
    if (ps.input_dim != config.input_dim || ps.shingle_size != config.shingle_size ||
        ps.internal_shingling != config.internal_shingling)
        return inconsistent("point store shingling settings differ from the configuration");
    if (ps.dim != d)
        return inconsistent("point store dim " + to_string(ps.dim) + ", expected " + to_string(d));
    if (ps.store.dim.size() != 2 || ps.store.dim[0] != ps.capacity || ps.store.dim[1] != ps.dim)
        return inconsistent("point store matrix is not capacity x dim (" + to_string(ps.capacity) + " x " +
                            to_string(ps.dim) + ")");
    if (from == Decoded::Document && ps.occupied.size() != ps.capacity)
        return inconsistent("point store occupied has " + to_string(ps.occupied.size()) + " entries, expected " +
                            to_string(ps.capacity));
    if (from == Decoded::Document && ps.ref_count.size() != ps.capacity)
        return inconsistent("point store ref_count has " + to_string(ps.ref_count.size()) + " entries, expected " +
                            to_string(ps.capacity));
    if (ps.next_free > ps.capacity)
        return inconsistent("point store next_free " + to_string(ps.next_free) + " beyond capacity " +
                            to_string(ps.capacity));
    // The tables hold the rows from 0 to at least next_free, all of them in
    // a document.
    std::uint64_t cells = 0;
    if (ps.ref_count.size() != ps.held_rows() || ps.held_rows() < ps.next_free || ps.held_rows() > ps.capacity ||
        !checked_mul(ps.held_rows(), ps.dim, cells) || ps.store.data.size() != cells)
        return inconsistent("point store holds " + to_string(ps.held_rows()) + " rows, expected from next_free " +
                            to_string(ps.next_free) + " to capacity " + to_string(ps.capacity));
    for (std::uint64_t slot : ps.free_list)
        if (slot >= ps.capacity)
            return inconsistent("point store free_list names slot " + to_string(slot) + " beyond capacity " +
                                to_string(ps.capacity));
    if (ps.shingle_buf.size() != ps.dim)
        return inconsistent("shingle_buf has " + to_string(ps.shingle_buf.size()) + " values, expected " +
                            to_string(ps.dim));
    // Updates refuse non-finite values, so no row (held, freed or never
    // handed out, which is zeros) and no shingle value can be one; a stored
    // NaN would also make the next save fail to load.
    for (std::size_t i = 0; i < ps.store.data.size(); ++i)
        if (!std::isfinite(ps.store.data[i]))
            return inconsistent("point " + to_string(i / ps.dim) + " holds a value that is not finite");
    for (float v : ps.shingle_buf)
        if (!std::isfinite(v)) return inconsistent("shingle_buf holds a value that is not finite");
    return {};
}

// Held entries must name rows the point store holds; unused entries and the
// pending point are only never beyond its capacity.
std::string check_sampler(std::size_t t, const rcf::Sampler& s, std::uint64_t capacity, const rcf::PointStore& ps,
                          Decoded from) {
    const std::uint64_t rows = ps.capacity, held = ps.held_rows();
    const std::string name = "sampler " + to_string(t);
    if (s.capacity != capacity)
        return inconsistent(name + " capacity " + to_string(s.capacity) + ", expected " + to_string(capacity));
    if (s.size > s.capacity)
        return inconsistent(name + " size " + to_string(s.size) + " beyond its capacity " + to_string(s.capacity));
    const std::uint64_t len = s.weights.size();
    if (s.point_indices.size() != len || len < s.size || len > s.capacity ||
        (from == Decoded::Document && len != s.capacity))
        return inconsistent(name + " lists differ from its capacity " + to_string(s.capacity));
    // The first `size` entries name held points; the rest are unused.
    for (std::uint64_t k = 0; k < len; ++k) {
        const std::uint64_t slot = s.point_indices[k];
        if (k < s.size ? slot >= held : slot != kNone && slot >= rows)
            return inconsistent(name + " names point " + to_string(slot) + " beyond the point store");
    }
    // Weights are log(-log(u)) for u within (0, 1), less a finite decay shift.
    if (!std::isfinite(s.pending_weight)) return inconsistent(name + " pending_weight is not finite");
    for (double w : s.weights)
        if (!std::isfinite(w)) return inconsistent(name + " holds a weight that is not finite");
    // The sampler evicts its entry 0 as the largest weight: a max-heap.
    for (std::uint64_t k = 1; k < s.size; ++k)
        if (!(s.weights[(k - 1) / 2] >= s.weights[k]))
            return inconsistent(name + " weights are not a heap at entry " + to_string(k));
    if (s.pending_point != kNone && s.pending_point >= rows)
        return inconsistent(name + " pending_point " + to_string(s.pending_point) + " beyond the point store");
    return {};
}

std::string check_tree(std::size_t t, const rcf::RcfTree& tree, std::uint64_t dims, std::uint64_t rows,
                       std::vector<std::uint8_t>& mark, std::vector<std::uint64_t>& stack) {
    const std::string name = "tree " + to_string(t);
    if (tree.dims != dims) return inconsistent(name + " dims " + to_string(tree.dims) + ", expected " + to_string(dims));
    const std::vector<Node>& nodes = tree.arena.nodes;
    const std::uint64_t n = nodes.size();

    for (std::uint64_t s = 0; s < n; ++s) {
        const Node& node = nodes[s];
        auto at = [&] { return name + " node " + to_string(s); };
        if (node.kind == NodeKind::Leaf) {
            if (node.point_idx() >= rows)
                return inconsistent(at() + " names point " + to_string(node.point_idx()) + " beyond the point store");
        } else if (node.kind == NodeKind::Internal) {
            for (std::uint64_t child : {node.left, node.right}) {
                if (child >= n) return inconsistent(at() + " names child " + to_string(child) + " beyond the arena");
                if (nodes[child].kind == NodeKind::Vacant)
                    return inconsistent(at() + " names vacant child " + to_string(child));
            }
            if (node.cut_dim() >= dims)
                return inconsistent(at() + " cuts dimension " + to_string(node.cut_dim()) + " of " + to_string(dims));
        }
    }

    // A free slot handed out twice would overwrite a live node.
    mark.assign(n, 0);
    for (std::uint64_t slot : tree.arena.free) {
        if (slot >= n) return inconsistent(name + " free list names slot " + to_string(slot) + " beyond the arena");
        if (nodes[slot].kind != NodeKind::Vacant)
            return inconsistent(name + " free list names occupied slot " + to_string(slot));
        if (mark[slot]) return inconsistent(name + " free list names slot " + to_string(slot) + " twice");
        mark[slot] = 1;
    }

    if (tree.root == kNone) return {};
    if (tree.root >= n) return inconsistent(name + " root " + to_string(tree.root) + " beyond the arena");
    if (nodes[tree.root].kind == NodeKind::Vacant) return inconsistent(name + " root names vacant slot");

    // Every node reached once from the root: no cycles, no shared subtrees,
    // so every walk over the tree ends.
    mark.assign(n, 0);
    stack.clear();
    stack.push_back(tree.root);
    mark[tree.root] = 1;
    while (!stack.empty()) {
        const Node& node = nodes[stack.back()];
        stack.pop_back();
        if (node.kind != NodeKind::Internal) continue;
        for (std::uint64_t child : {node.left, node.right}) {
            if (mark[child]) return inconsistent(name + " node " + to_string(child) + " is reached twice from the root");
            mark[child] = 1;
            stack.push_back(child);
        }
    }
    return {};
}


// What the update flow keeps true between calls, checked once the structure
// is known to be safe to walk: masses add up, boxes are the union of their
// children's (compared by value: a box built by insertion may hold a zero of
// the other sign), every leaf stands for a point its own sampler holds, and
// the point store's reference counts are the samplers' entries.
std::string check_tree_contents(std::size_t t, const rcf::RcfTree& tree, const rcf::Sampler& sampler,
                                const rcf::PointStore& ps, bool check_boxes, std::vector<std::uint64_t>& owner,
                                std::vector<std::uint64_t>& order, std::vector<std::uint64_t>& reach,
                                std::vector<std::uint64_t>& leaf_tree, std::vector<std::uint64_t>& leaf_of) {
    const std::string name = "tree " + to_string(t);
    const rcf::NodeArena& arena = tree.arena;
    const std::vector<Node>& nodes = arena.nodes;
    // owner[slot] == t + 1 marks the point-store rows this tree's sampler holds.
    for (std::uint64_t k = 0; k < sampler.size; ++k) owner[sampler.point_indices[k]] = t + 1;

    std::uint64_t live = 0;
    for (const Node& n : nodes) live += n.kind != NodeKind::Vacant;
    if (live + arena.free.size() != nodes.size())
        return inconsistent(name + " has vacant slots that are not on its free list");

    std::uint64_t root_mass = 0;
    order.clear();
    if (tree.root != kNone) {
        // Pre-order, then visited backwards so that children come first.
        order.push_back(tree.root);
        for (std::size_t i = 0; i < order.size(); ++i) {
            const Node& n = nodes[order[i]];
            if (n.kind == NodeKind::Internal) {
                order.push_back(n.left);
                order.push_back(n.right);
            }
        }
        root_mass = nodes[tree.root].mass;
    }
    if (order.size() != live) return inconsistent(name + " has nodes that are not reached from the root");
    const std::uint64_t d = arena.dims;
    rcf::BoxWork work;
    for (std::size_t i = order.size(); i-- > 0;) {
        const std::uint64_t s = order[i];
        const Node& n = nodes[s];
        auto at = [&] { return name + " node " + to_string(s); };
        if (n.kind == NodeKind::Leaf) {
            if (n.mass == 0) return inconsistent(at() + " is a leaf of mass 0");
            if (owner[n.point_idx()] != t + 1)
                return inconsistent(at() + " stands for point " + to_string(n.point_idx()) +
                                    ", which the tree's sampler does not hold");
            continue;
        }
        const std::uint64_t ml = nodes[n.left].mass, mr = nodes[n.right].mass;
        if (ml > UINT64_MAX - mr || n.mass != ml + mr)
            return inconsistent(at() + " has mass " + to_string(n.mass) + ", its children " + to_string(ml) + " and " +
                                to_string(mr));
        if (n.box_row() >= arena.box_row_count()) return inconsistent(at() + " has no bounding box");
        const rcf::NodeArena::BoxView a = arena.box_view(n.left, ps, work, 0);
        const rcf::NodeArena::BoxView b = arena.box_view(n.right, ps, work, 1);
        // The cut separates the children's boxes (as insertion chooses it),
        // so every leaf's own point descends to that leaf.
        const std::uint64_t cd = n.cut_dim();
        if (!(a.max[cd] <= n.cut_val && n.cut_val < b.min[cd]))
            return inconsistent(at() + " cut does not separate its children");
        if (!check_boxes) continue;
        const float* mn = arena.row_min(n.box_row());
        const float* mx = arena.row_max(n.box_row());
        double sum = 0.0;
        for (std::uint64_t k = 0; k < d; ++k) {
            if (!(mn[k] == rcf::min_num(a.min[k], b.min[k])) || !(mx[k] == rcf::max_num(a.max[k], b.max[k])))
                return inconsistent(at() + " has a bounding box that is not the union of its children's");
            sum += static_cast<double>(mx[k] - mn[k]);
        }
        if (!(arena.row_range_sum(n.box_row()) == sum))
            return inconsistent(at() + " has range sum " + std::to_string(arena.row_range_sum(n.box_row())) +
                                ", its box gives " + std::to_string(sum));
    }
    // Every sampler entry descends (as deletion will) to a leaf standing for
    // a point of the same value, and each leaf's mass is the number of
    // entries that reach it.
    if (tree.root != kNone) {
        reach.assign(nodes.size(), 0);
        for (std::uint64_t s : order)
            if (nodes[s].kind == NodeKind::Leaf) {
                leaf_tree[nodes[s].point_idx()] = t + 1;
                leaf_of[nodes[s].point_idx()] = s;
            }
        for (std::uint64_t k = 0; k < sampler.size; ++k) {
            const std::uint64_t slot = sampler.point_indices[k];
            const float* p = ps.store.data.data() + slot * ps.dim;
            // An entry naming a leaf's own point reaches that leaf (the cuts
            // separate); any other entry is followed down the tree.
            std::uint64_t s = tree.root;
            if (leaf_tree[slot] == t + 1)
                s = leaf_of[slot];
            else
                while (nodes[s].kind == NodeKind::Internal)
                    s = p[nodes[s].cut_dim()] <= nodes[s].cut_val ? nodes[s].left : nodes[s].right;
            if (!ps.row_equals(nodes[s].point_idx(), std::span<const float>(p, ps.dim)))
                return inconsistent(name + " sampler entry " + to_string(k) + " (point " + to_string(slot) +
                                    ") descends to node " + to_string(s) + ", which stands for another point");
            ++reach[s];
        }
        for (std::uint64_t s : order)
            if (nodes[s].kind == NodeKind::Leaf && reach[s] != nodes[s].mass)
                return inconsistent(name + " node " + to_string(s) + " has mass " + to_string(nodes[s].mass) +
                                    ", its sampler holds the point " + to_string(reach[s]) + " times");
    }
    if (tree.tree_mass != root_mass)
        return inconsistent(name + " has tree_mass " + to_string(tree.tree_mass) + ", its root " +
                            to_string(root_mass));
    if (tree.tree_mass != sampler.size)
        return inconsistent(name + " has tree_mass " + to_string(tree.tree_mass) + ", its sampler holds " +
                            to_string(sampler.size));
    return {};
}

std::string check_references(const rcf::Forest& forest) {
    const rcf::PointStore& ps = forest.point_store;
    std::vector<std::uint64_t> refs(ps.held_rows(), 0);
    for (const rcf::Sampler& s : forest.samplers)
        for (std::uint64_t k = 0; k < s.size; ++k) ++refs[s.point_indices[k]];
    std::uint64_t occupied = 0;
    for (std::uint64_t slot = 0; slot < ps.held_rows(); ++slot) {
        if (ps.ref_count[slot] != refs[slot])
            return inconsistent("point " + to_string(slot) + " has ref_count " + to_string(ps.ref_count[slot]) +
                                ", the samplers hold it " + to_string(refs[slot]) + " times");
        if ((ps.occupied[slot] != 0) != (refs[slot] > 0))
            return inconsistent("point " + to_string(slot) + (refs[slot] > 0 ? " is held but not occupied"
                                                                             : " is occupied but not held"));
        if (ps.occupied[slot] != 0 && slot >= ps.next_free)
            return inconsistent("point " + to_string(slot) + " is occupied beyond next_free");
        occupied += ps.occupied[slot] != 0;
    }
    if (ps.size != occupied)
        return inconsistent("point store size " + to_string(ps.size) + ", " + to_string(occupied) + " points occupied");
    for (std::uint64_t slot : ps.free_list) {
        if (ps.occupied[slot] != 0) return inconsistent("point store free_list names occupied point " + to_string(slot));
        if (slot >= ps.next_free) return inconsistent("point store free_list names point " + to_string(slot) + " beyond next_free");
        refs[slot] = 1;  // marks listed slots; every one is unoccupied, so refs was 0
    }
    std::uint64_t listed = 0;
    for (std::uint64_t slot = 0; slot < ps.next_free; ++slot) listed += ps.occupied[slot] == 0 && refs[slot] == 1;
    if (listed != ps.free_list.size()) return inconsistent("point store free_list names a point twice");
    if (occupied + listed != ps.next_free)
        return inconsistent("point store has free points below next_free that are not on its free_list");
    return {};
}

}  // namespace

std::string find_forest_inconsistency(const rcf::Forest& forest, Decoded from) {
    const rcf::RcfConfig& config = forest.config;
    Status valid = rcf::Forest::check_config(config);
    if (!valid) return inconsistent(valid.error().text);
    if (!(config.initial_accept_fraction >= 0.0 && config.initial_accept_fraction <= 1.0))
        return inconsistent("initial_accept_fraction must be in [0, 1]");
    if (forest.trees.size() != config.num_trees)
        return inconsistent(to_string(forest.trees.size()) + " trees, expected num_trees " + to_string(config.num_trees));
    if (forest.samplers.size() != forest.trees.size())
        return inconsistent(to_string(forest.samplers.size()) + " samplers for " + to_string(forest.trees.size()) +
                            " trees");
    std::string problem = check_point_store(config, forest.point_store, from);
    if (!problem.empty()) return problem;
    // Leaves and held sampler entries must name rows the store holds (every
    // row up to capacity, in a document).
    const std::uint64_t rows = forest.point_store.held_rows();
    const std::uint64_t dims = forest.point_store.dim;
    for (std::size_t t = 0; t < forest.samplers.size(); ++t) {
        problem = check_sampler(t, forest.samplers[t], config.capacity, forest.point_store, from);
        if (!problem.empty()) return problem;
    }
    std::vector<std::uint8_t> mark;
    std::vector<std::uint64_t> stack;
    for (std::size_t t = 0; t < forest.trees.size(); ++t) {
        problem = check_tree(t, forest.trees[t], dims, rows, mark, stack);
        if (!problem.empty()) return problem;
    }
    std::vector<std::uint64_t> owner(rows, 0), mark64, leaf_tree(rows, 0), leaf_of(rows, 0);
    for (std::size_t t = 0; t < forest.trees.size(); ++t) {
        problem = check_tree_contents(t, forest.trees[t], forest.samplers[t], forest.point_store,
                                      from == Decoded::Document, owner,
                                      stack, mark64, leaf_tree, leaf_of);
        if (!problem.empty()) return problem;
    }
    return check_references(forest);
}

namespace {

template <class T>
bool has_shape(const Matrix<T>& m, std::initializer_list<std::uint64_t> shape) {
    if (m.dim.size() != shape.size()) return false;
    std::uint64_t n = 1;
    std::size_t axis = 0;
    for (std::uint64_t extent : shape)
        if (m.dim[axis++] != extent || !checked_mul(n, extent, n)) return false;
    return m.data.size() == n;
}

// A total count table adds one per record to one bucket of every row, so
// each row holds whole counts that sum to the records seen while the sums
// stay below 2^53. Past that a count stops growing at 2^53 (adding 1 no
// longer changes it), so a row then sums to at least 2^53. A current table
// must stay finite (the sign of a tiny count is left alone: the decay
// treats it like any other).
bool counts_plausible(const Matrix<double>& total, const Matrix<double>& current, std::uint64_t rows,
                      std::uint64_t buckets, std::uint64_t records) {
    for (double c : current.data)
        if (!std::isfinite(c)) return false;
    const bool exact = records < (std::uint64_t{1} << 53);
    for (std::uint64_t r = 0; r < rows; ++r) {
        double sum = 0.0;
        for (std::uint64_t b = 0; b < buckets; ++b) {
            const double c = total.data[r * buckets + b];
            if (!(c >= 0.0 && c <= 0x1.0p64) || c != std::floor(c)) return false;
            sum += c;
        }
        if (exact ? sum != static_cast<double>(records) : sum < 0x1.0p53) return false;
    }
    return true;
}

}  // namespace

std::string find_mstream_inconsistency(const mstream::MStream& m) {
    const mstream::MStreamConfig& c = m.config;
    Status valid = mstream::MStream::check_config(c);
    if (!valid) return inconsistent(valid.error().text);
    const std::uint64_t rows = c.num_rows, buckets = c.num_buckets, nd = c.numeric_dim, cd = c.categorical_dim;
    const std::uint64_t planes = mstream::plane_count(buckets);
    const std::uint64_t n = m.entries_seen;

    if (m.clock.current_time.has_value() != (n > 0))
        return inconsistent(n > 0 ? "current_time is null after " + to_string(n) + " records"
                                  : "current_time is set before the first record");
    if (n == 0 ? m.clock.current_tick != 0 : m.clock.current_tick == 0 || *m.clock.current_time == 0)
        return inconsistent("clock (current_time, current_tick) cannot follow " + to_string(n) + " records");

    for (const mstream::RecordSketch* s : {&m.record_counts.current, &m.record_counts.total}) {
        if (s->num_rows != rows || s->num_buckets != buckets || s->numeric_dim != nd || s->categorical_dim != cd)
            return inconsistent("record sketch sizes differ from the configuration");
        if (!has_shape(s->numeric_planes, {rows, planes, nd}))
            return inconsistent("numeric_planes is not [num_rows, plane count, numeric_dim]");
        if (!has_shape(s->categorical_coeffs, {rows, cd}))
            return inconsistent("categorical_coeffs is not [num_rows, categorical_dim]");
        if (!has_shape(s->count, {rows, buckets})) return inconsistent("record count is not [num_rows, num_buckets]");
    }
    // The hyperplanes that bucket numeric records are drawn finite; a NaN
    // one would put every record in one bucket and make sums NaN.
    for (const mstream::RecordSketch* s : {&m.record_counts.current, &m.record_counts.total})
        for (double v : s->numeric_planes.data)
            if (!std::isfinite(v)) return inconsistent("numeric_planes holds a value that is not finite");
    if (!counts_plausible(m.record_counts.total.count, m.record_counts.current.count, rows, buckets, n))
        return inconsistent("record counts cannot follow " + to_string(n) + " records");

    if (m.numeric_counts.size() != nd)
        return inconsistent(to_string(m.numeric_counts.size()) + " numeric sketches, expected numeric_dim " + to_string(nd));
    for (std::size_t i = 0; i < m.numeric_counts.size(); ++i) {
        const auto& pair = m.numeric_counts[i];
        for (const mstream::NumericSketch* s : {&pair.current, &pair.total})
            if (s->num_buckets != buckets || !has_shape(s->count, {buckets}))
                return inconsistent("numeric sketch " + to_string(i) + " is not [num_buckets]");
        if (!counts_plausible(pair.total.count, pair.current.count, 1, buckets, n))
            return inconsistent("numeric feature " + to_string(i) + " counts cannot follow " + to_string(n) + " records");
    }

    if (m.categorical_counts.size() != cd)
        return inconsistent(to_string(m.categorical_counts.size()) + " categorical sketches, expected categorical_dim " +
                            to_string(cd));
    for (std::size_t j = 0; j < m.categorical_counts.size(); ++j) {
        const auto& pair = m.categorical_counts[j];
        for (const mstream::CategoricalSketch* s : {&pair.current, &pair.total})
            if (s->num_rows != rows || s->num_buckets != buckets || !has_shape(s->hash_a, {rows}) ||
                !has_shape(s->hash_b, {rows}) || !has_shape(s->count, {rows, buckets}))
                return inconsistent("categorical sketch " + to_string(j) + " tables differ from the configuration");
        if (!counts_plausible(pair.total.count, pair.current.count, rows, buckets, n))
            return inconsistent("categorical feature " + to_string(j) + " counts cannot follow " + to_string(n) +
                                " records");
    }

    const mstream::NumericRangeNormalizer& z = m.numeric_normalizer;
    if (z.min_numeric.size() != nd || z.max_numeric.size() != nd)
        return inconsistent("normalizer bounds differ from numeric_dim " + to_string(nd));
    if (n > 0)
        for (std::uint64_t i = 0; i < nd; ++i)
            if (!(std::isfinite(z.min_numeric[i]) && std::isfinite(z.max_numeric[i]) &&
                  z.min_numeric[i] <= z.max_numeric[i]))
                return inconsistent("normalizer bounds of numeric feature " + to_string(i) + " are not a range");
    return {};
}

}  // namespace arbolet::persist
