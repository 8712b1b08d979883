#include "rcf/tree/tree.hpp"

#include <algorithm>

#include "common/internal_failure.hpp"
#include "common/platform.hpp"
#include "common/room.hpp"

namespace arbolet::rcf {

RcfTree RcfTree::create(std::uint64_t dims, Xoshiro256PlusPlus rng) {
    RcfTree tree;
    tree.root = kNone;
    tree.tree_mass = 0;
    tree.arena = NodeArena::create(dims);
    tree.rng = rng;
    tree.dims = dims;
    return tree;
}

void TreeScratch::make_update_room(std::uint64_t nodes, std::uint64_t dims) {
    // The trees grow by a node or two an update while they fill: doubling
    // keeps the path tables from following them one update at a time.
    if (path_nodes.capacity() < nodes) {
        const std::size_t grown = std::max<std::size_t>(nodes, 2 * path_nodes.capacity());
        path_nodes.reserve(grown);
        path_siblings.reserve(grown);
    }
    reserve_total(path_siblings, nodes);
    reserve_total(box_min, dims);
    reserve_total(box_max, dims);
    reserve_total(ranges, dims);
    reserve_total(point, dims);
    box_work.make_room(nodes, dims);
}

std::uint64_t RcfTree::descend(std::span<const float> point, TreeScratch& scratch) const {
    if (root == kNone) fail("descent into an empty tree");
    // A consistent tree is acyclic, so no descent visits more nodes than the
    // arena has; a loaded cycle stops here instead of looping forever. The
    // tables are sized for that once (an update reserved their room), so
    // that the walk writes plain arrays.
    const std::size_t limit = arena.nodes.size();
    if (scratch.path_nodes.size() < limit) {
        scratch.path_nodes.resize(limit);
        scratch.path_siblings.resize(limit);
    }
    std::uint64_t* nodes = scratch.path_nodes.data();
    std::uint64_t* siblings = scratch.path_siblings.data();
    std::size_t depth = 0;
    std::uint64_t cur = root;
    for (;;) {
        const Node& n = arena.node(cur);
        if (n.kind == NodeKind::Leaf) {
            scratch.path_length = depth;
            return cur;
        }
        if (depth >= limit) fail("tree descent does not end (cycle in the tree)");
        check_index(n.cut_dim(), point.size());
        // Ties go left, so that a NaN coordinate goes right.
        const bool left = point[n.cut_dim()] <= n.cut_val;
        const std::uint64_t next = left ? n.left : n.right;
        const std::uint64_t sibling = left ? n.right : n.left;
        nodes[depth] = cur;
        siblings[depth] = sibling;
        ++depth;
        // The update reads the sibling next (prefetch_path_boxes): ask for it
        // while the walk goes on.
        if (sibling < limit) prefetch(arena.nodes.data() + sibling);
        cur = next;
    }
}

}  // namespace arbolet::rcf
