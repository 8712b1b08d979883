#include "rcf/node_arena.hpp"

#include <algorithm>
#include <bit>

#include "common/internal_failure.hpp"
#include "rcf/point_store.hpp"

namespace arbolet::rcf {

NodeArena NodeArena::create(std::uint64_t dims, std::uint64_t reserve_nodes) {
    NodeArena arena;
    arena.dims = dims;
    arena.nodes.reserve(reserve_nodes);
    std::uint64_t cells = 0;
    if (checked_mul(reserve_nodes, dims, cells)) {
        check_allocation(cells, sizeof(float));
        arena.box_min.reserve(cells);
        arena.box_max.reserve(cells);
    }
    arena.box_range_sum.reserve(reserve_nodes);
    return arena;
}

void NodeArena::ensure_box_rows() {
    const std::uint64_t rows = nodes.size();
    std::uint64_t cells = 0;
    if (!checked_mul(rows, dims, cells)) fail("node box table size overflows");
    if (box_min.size() < cells || box_max.size() < cells) {
        check_allocation(cells, sizeof(float));
        box_min.resize(cells, 0.0f);
        box_max.resize(cells, 0.0f);
    }
    if (box_range_sum.size() < rows) box_range_sum.resize(rows, 0.0);
}

std::uint64_t NodeArena::alloc(const Node& node) {
    if (!free.empty()) {
        const std::uint64_t slot = free.back();
        check_index(slot, nodes.size());
        free.pop_back();
        nodes[slot] = node;
        return slot;
    }
    nodes.push_back(node);
    ensure_box_rows();
    return nodes.size() - 1;
}

void NodeArena::free_node(std::uint64_t slot) {
    check_index(slot, nodes.size());
    // Releasing a vacant slot would put it on the stack twice and hand it out
    // to two nodes.
    if (nodes[slot].kind == NodeKind::Vacant) fail("accessed freed or uninitialized node");
    if (nodes[slot].kind == NodeKind::Internal) {
        // Vacant and leaf slots keep zero box rows, so that equal trees
        // compare equal whatever their slots held before.
        ensure_box_rows();
        std::fill_n(box_min.begin() + static_cast<std::ptrdiff_t>(slot * dims), dims, 0.0f);
        std::fill_n(box_max.begin() + static_cast<std::ptrdiff_t>(slot * dims), dims, 0.0f);
        box_range_sum[slot] = 0.0;
    }
    nodes[slot] = Node{};
    free.push_back(slot);
}

void NodeArena::bad_slot(std::uint64_t slot) const {
    check_index(slot, nodes.size());
    fail("accessed freed or uninitialized node");
}

void NodeArena::not_internal() { fail("internal error: entered unreachable code"); }

BoundingBox NodeArena::bbox(std::uint64_t slot) const {
    check_index(slot, nodes.size());
    std::uint64_t end = 0;
    if (!checked_mul(slot, dims, end) || !checked_add(end, dims, end) || end > box_min.size() ||
        end > box_max.size() || slot >= box_range_sum.size()) {
        // Rows not laid down yet read as an all-zero box.
        return BoundingBox{std::vector<float>(dims, 0.0f), std::vector<float>(dims, 0.0f), 0.0};
    }
    const auto lo = box_min.begin() + static_cast<std::ptrdiff_t>(slot * dims);
    const auto hi = box_max.begin() + static_cast<std::ptrdiff_t>(slot * dims);
    return BoundingBox{std::vector<float>(lo, lo + static_cast<std::ptrdiff_t>(dims)),
                       std::vector<float>(hi, hi + static_cast<std::ptrdiff_t>(dims)), box_range_sum[slot]};
}

void NodeArena::set_bbox(std::uint64_t slot, const BoundingBox& box) {
    check_index(slot, nodes.size());
    if (box.min.size() != dims || box.max.size() != dims) fail("bounding box length does not match the tree");
    ensure_box_rows();
    std::copy(box.min.begin(), box.min.end(), box_min.begin() + static_cast<std::ptrdiff_t>(slot * dims));
    std::copy(box.max.begin(), box.max.end(), box_max.begin() + static_cast<std::ptrdiff_t>(slot * dims));
    box_range_sum[slot] = box.range_sum;
}

NodeArena::BoxView NodeArena::box_view(std::uint64_t slot, const PointStore& store) const {
    const Node& n = node(slot);
    if (n.kind == NodeKind::Leaf) {
        const std::span<const float> r = store.row(n.point_idx);
        if (r.size() != dims) fail("point length does not match the tree");
        return {r.data(), r.data()};
    }
    std::uint64_t end = 0;
    if (!checked_mul(slot, dims, end) || !checked_add(end, dims, end) || end > box_min.size() ||
        end > box_max.size())
        fail("assertion failed: index < dim");
    const std::uint64_t offset = slot * dims;
    return {box_min.data() + offset, box_max.data() + offset};
}

namespace {

// The boxes and masses that one refresh walk reads, with the bounds checked
// once per walk: after ensure_box_rows every live slot has its box rows, and
// `rows` is the number of point rows that PointStore::row would accept, so a
// level costs a few comparisons and pointer arithmetic. Anything outside
// those bounds goes through the checked accessors, which raise the failure.
struct ChildBoxes {
    const NodeArena& arena;
    const PointStore& store;
    std::uint64_t slots;
    std::uint64_t rows;

    ChildBoxes(const NodeArena& a, const PointStore& s)
        : arena(a), store(s), slots(a.nodes.size()), rows(s.capacity) {
        if (s.dim != a.dims) fail("point length does not match the tree");
        if (a.dims > 0) rows = std::min<std::uint64_t>(rows, s.store.data.size() / a.dims);
    }

    NodeArena::BoxView box(std::uint64_t slot, std::uint64_t& mass, bool& leaf) const {
        if (slot < slots) [[likely]] {
            const Node& n = arena.nodes[slot];
            if (n.kind == NodeKind::Internal) {
                mass = n.mass;
                leaf = false;
                const std::uint64_t offset = slot * arena.dims;
                return {arena.box_min.data() + offset, arena.box_max.data() + offset};
            }
            if (n.kind == NodeKind::Leaf && n.point_idx < rows) {
                mass = n.mass;
                leaf = true;
                const float* row = store.store.data.data() + n.point_idx * arena.dims;
                return {row, row};
            }
        }
        const NodeArena::BoxView view = arena.box_view(slot, store);
        mass = arena.mass_of(slot);
        leaf = arena.node(slot).is_leaf();
        return view;
    }
};

}  // namespace

// Early stop: once a recomputed box comes out bit-identical to the one it
// replaces, the boxes above it can only change where a node's stored box is
// not the merge of its children's boxes. Such nodes (box_is_merge false) and
// nodes with a leaf child are still recomputed; the leaf rule is there because
// a leaf's box is its point row, which can change without a refresh (a leaf
// moved to another copy of its point that differs in the sign of a zero).
// Masses are always recomputed.
void NodeArena::refresh_path(std::span<const std::uint64_t> path, const PointStore& store) {
    ensure_box_rows();
    if (path.empty()) return;
    const ChildBoxes children(*this, store);
    const std::size_t d = static_cast<std::size_t>(dims);
    bool unchanged_below = false;
    for (std::size_t k = path.size(); k-- > 0;) {
        const std::uint64_t slot = path[k];
        Node& n = internal(slot);
        std::uint64_t left_mass = 0, right_mass = 0;
        bool left_leaf = false, right_leaf = false;
        const BoxView l = children.box(n.left, left_mass, left_leaf);
        const BoxView r = children.box(n.right, right_mass, right_leaf);
        n.mass = left_mass + right_mass;
        if (unchanged_below && n.box_is_merge && !left_leaf && !right_leaf) continue;
        float* out_min = box_min.data() + slot * dims;
        float* out_max = box_max.data() + slot * dims;
        double sum = 0.0;
        std::uint32_t differs = 0;
        for (std::size_t i = 0; i < d; ++i) {
            const float lo = min_num(l.min[i], r.min[i]);
            const float hi = max_num(l.max[i], r.max[i]);
            differs |= (std::bit_cast<std::uint32_t>(lo) ^ std::bit_cast<std::uint32_t>(out_min[i])) |
                       (std::bit_cast<std::uint32_t>(hi) ^ std::bit_cast<std::uint32_t>(out_max[i]));
            out_min[i] = lo;
            out_max[i] = hi;
            sum += static_cast<double>(hi - lo);
        }
        box_range_sum[slot] = sum;
        n.box_is_merge = true;
        unchanged_below = differs == 0;
    }
}

}  // namespace arbolet::rcf
