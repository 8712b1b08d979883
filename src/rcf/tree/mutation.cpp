// Insertion with the bottom-up random cut search, and deletion with sibling
// promotion.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/internal_failure.hpp"
#include "rcf/box_kernels.hpp"
#include "rcf/cut.hpp"
#include "rcf/point_store.hpp"
#include "rcf/tree/tree.hpp"

namespace arbolet::rcf {

namespace {

void check_dims(const RcfTree& tree, std::span<const float> p) {
    if (p.size() != tree.dims || tree.arena.dims != tree.dims) fail("point length does not match the tree");
}

}  // namespace

void RcfTree::insert(const PointStore& store, std::uint64_t slot, TreeScratch& scratch) {
    const std::span<const float> p = store.row(slot);
    check_dims(*this, p);
    if (root == kNone) {
        root = arena.alloc(Node::Leaf(slot, 1));
        tree_mass = 1;
        return;
    }
    const std::uint64_t f = descend(p, scratch);
    const std::span<const std::uint64_t> path = scratch.path();
    const std::span<const std::uint64_t> siblings = scratch.siblings();
    const std::size_t L = path.size();
    arena.prefetch_path_boxes(path, siblings, store);
    tree_mass += 1;

    const std::uint64_t q_slot = arena.node(f).point_idx();
    if (store.row_equals(q_slot, p)) {
        Node& copies = arena.node(f);
        copies.mass = Node::mass_sum(copies.mass, 1);
        arena.refresh_path(path, store, scratch.box_work);
        return;
    }
    const std::span<const float> q = store.row(q_slot);
    check_dims(*this, q);

    // Bottom-up: level k is the leaf for k = 0 and path[L - k] above it; B
    // grows to each level's box by merging in the sibling left behind.
    const std::size_t D = static_cast<std::size_t>(dims);
    const bool wide = D >= kernels::kWideFrom && kernels::wide_enabled();
    scratch.box_min.assign(q.begin(), q.end());
    scratch.box_max.assign(q.begin(), q.end());
    scratch.ranges.resize(D);
    float* bmin = scratch.box_min.data();
    float* bmax = scratch.box_max.data();

    Cut cut;
    std::uint64_t split = kNone;   // s: the node that the new internal node takes the place of
    std::uint64_t parent = kNone;  // s's parent, kNone when s is the root
    std::size_t ancestors = L;     // entries of the path above the new internal node
    for (std::size_t k = 0; k <= L; ++k) {
        const double u = rng.uniform_f64();
        if (choose_cut(bmin, bmax, p, u, scratch.ranges.data(), cut) && cut_separates(cut, bmin, bmax, p)) {
            split = k == 0 ? f : path[L - k];
            parent = k == L ? kNone : path[L - k - 1];
            ancestors = L - k;
            break;
        }
        if (k < L) {
            const NodeArena::BoxView sib = arena.box_view(siblings[L - 1 - k], store, scratch.box_work);
            kernels::grow_box(wide, bmin, bmax, sib.min, sib.max, D);
        }
    }

    if (split == kNone) {
        // No level separated (only infinite coordinates get here): cut the
        // leaf off at the first clearly different dimension, or treat the
        // point as a copy of the leaf's.
        std::size_t d = D;
        for (std::size_t i = 0; i < D; ++i) {
            const float diff = p[i] - q[i];
            if (std::fabs(diff) > 1.1920929e-7f) {
                d = i;
                break;
            }
        }
        if (d == D) {
            Node& copies = arena.node(f);
            copies.mass = Node::mass_sum(copies.mass, 1);
            arena.refresh_path(path, store, scratch.box_work);
            return;
        }
        cut.dim = d;
        cut.value = min_num(q[d], p[d]);
        split = f;
        parent = L == 0 ? kNone : path[L - 1];
        ancestors = L;
    }

    const std::uint64_t leaf = arena.alloc(Node::Leaf(slot, 1));
    const bool new_left = cut.value >= p[cut.dim];
    const std::uint64_t split_mass = arena.mass_of(split);
    const std::uint64_t joined = arena.alloc(Node::Internal(new_left ? leaf : split, new_left ? split : leaf,
                                                            cut.dim, cut.value, split_mass + 1));
    {
        // The new node's box merges the split node's box with the point,
        // whichever side the point goes. Where that is not the merge of its
        // children left to right (a zero of the other sign), the node keeps
        // its row whatever its mass, so that no rebuilt box differs.
        BoxWork& work = scratch.box_work;
        const NodeArena::BoxView s = arena.box_view(split, store, work, 0);
        bool changed = false;
        // Box 2 is where refresh_path finds the box of a node below the path.
        float* merged = work.box(2, dims);
        const double sum =
            kernels::merge_boxes(wide, s.min, s.max, p.data(), p.data(), merged, merged + D, D, changed);
        bool keep = arena.keeps_box(split_mass + 1);
        if (!keep && new_left) {
            float* in_order = work.box(3, dims);
            kernels::merge_boxes(wide, p.data(), p.data(), s.min, s.max, in_order, in_order + D, D, changed);
            keep = std::memcmp(merged, in_order, 2 * D * sizeof(float)) != 0;
        }
        if (keep) {
            // Room was made for it (make_update_room).
            const std::uint64_t row = arena.take_box_row();
            arena.nodes[joined].set_box_row(row);
            std::copy_n(merged, 2 * D, arena.row_min(row));
            arena.set_row_range_sum(row, sum);
        }
    }
    if (parent == kNone) {
        root = joined;
    } else {
        Node& par = arena.internal(parent);
        if (par.left == split)
            par.set_left(joined);
        else
            par.set_right(joined);
    }
    const bool joined_has_row = arena.has_box_row(arena.nodes[joined]);
    arena.refresh_path(path.first(ancestors), store, scratch.box_work, joined_has_row ? kNone : joined);
}

Status RcfTree::remove(const PointStore& store, std::uint64_t slot, TreeScratch& scratch) {
    scratch.kept_leaf = kNone;
    if (root == kNone) return EngineError::empty_tree();
    const std::span<const float> p = store.row(slot);
    check_dims(*this, p);
    const std::uint64_t f = descend(p, scratch);
    const std::span<const std::uint64_t> path = scratch.path();
    const std::span<const std::uint64_t> siblings = scratch.siblings();
    const std::size_t L = path.size();
    arena.prefetch_path_boxes(path, siblings, store);

    Node& leaf = arena.node(f);
    if (leaf.mass == 0) return EngineError::invalid_argument("leaf mass is already 0");
    tree_mass -= 1;
    if (leaf.mass > 1) {
        leaf.mass -= 1;
        scratch.kept_leaf = f;
        arena.refresh_path(path, store, scratch.box_work);
        return {};
    }
    if (L == 0) {
        arena.free_node(f);
        root = kNone;
        return {};
    }
    const std::uint64_t a = path[L - 1];
    const std::uint64_t sib = siblings[L - 1];
    if (L == 1) {
        root = sib;
    } else {
        Node& g = arena.internal(path[L - 2]);
        if (g.left == a)
            g.set_left(sib);
        else
            g.set_right(sib);
    }
    // Leaf first, then its parent: the next two allocations reuse the
    // parent's slot first.
    arena.free_node(f);
    arena.free_node(a);
    arena.refresh_path(path.first(L - 1), store, scratch.box_work);
    return {};
}

}  // namespace arbolet::rcf
