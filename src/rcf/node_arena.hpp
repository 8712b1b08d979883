// Per-tree node storage addressed by slot index, with a stack of vacant slots.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "rcf/bounding_box.hpp"

namespace arbolet::rcf {

struct PointStore;

enum class NodeKind : std::uint8_t { Vacant, Leaf, Internal };

// One slot of the arena: vacant, a leaf (point_idx, mass) or an internal node
// (left, right, cut_dim, cut_val, mass; its box lives in the arena's box
// rows). Node::Leaf and Node::Internal build the two variants.
struct Node {
    NodeKind kind = NodeKind::Vacant;
    // Working knowledge, not state (excluded from == and from documents; it
    // sits in padding): set only by NodeArena::refresh_path when it has just
    // computed this internal node's box as the merge of its children's boxes,
    // so that a later refresh may keep the box bit for bit while the
    // children's boxes stay unchanged. A node built by insertion merges the
    // split node's box with the new point, which can differ from that merge in
    // the sign of a zero, so it starts false, as do loaded and reused nodes.
    bool box_is_merge = false;
    float cut_val = 0.0f;
    std::uint64_t left = 0;
    std::uint64_t right = 0;
    std::uint64_t cut_dim = 0;
    std::uint64_t point_idx = 0;
    std::uint64_t mass = 0;

    static Node Leaf(std::uint64_t point_idx, std::uint64_t mass) {
        Node n;
        n.kind = NodeKind::Leaf;
        n.point_idx = point_idx;
        n.mass = mass;
        return n;
    }
    static Node Internal(std::uint64_t left, std::uint64_t right, std::uint64_t cut_dim, float cut_val,
                         std::uint64_t mass) {
        Node n;
        n.kind = NodeKind::Internal;
        n.left = left;
        n.right = right;
        n.cut_dim = cut_dim;
        n.cut_val = cut_val;
        n.mass = mass;
        return n;
    }
    bool is_leaf() const { return kind == NodeKind::Leaf; }
    bool is_internal() const { return kind == NodeKind::Internal; }

    friend bool operator==(const Node& a, const Node& b) {
        return a.kind == b.kind && a.cut_val == b.cut_val && a.left == b.left && a.right == b.right &&
               a.cut_dim == b.cut_dim && a.point_idx == b.point_idx && a.mass == b.mass;
    }
};

struct NodeArena {
    std::vector<Node> nodes;
    std::vector<std::uint64_t> free;

    // Box rows, one per slot and `dims` wide, contiguous so that no node owns
    // a heap block; meaningful only for internal nodes.
    std::uint64_t dims = 0;
    std::vector<float> box_min;
    std::vector<float> box_max;
    std::vector<double> box_range_sum;

    static NodeArena create(std::uint64_t dims, std::uint64_t reserve_nodes);

    std::uint64_t alloc(const Node& node);
    void free_node(std::uint64_t slot);

    // InternalFailure "accessed freed or uninitialized node" for a vacant
    // slot, "assertion failed: index < dim" beyond the slots.
    const Node& node(std::uint64_t slot) const {
        if (slot >= nodes.size() || nodes[slot].kind == NodeKind::Vacant) [[unlikely]]
            bad_slot(slot);
        return nodes[slot];
    }
    Node& node(std::uint64_t slot) {
        if (slot >= nodes.size() || nodes[slot].kind == NodeKind::Vacant) [[unlikely]]
            bad_slot(slot);
        return nodes[slot];
    }
    // As node(), plus "internal error: entered unreachable code" when the
    // slot holds a leaf.
    const Node& internal(std::uint64_t slot) const {
        const Node& n = node(slot);
        if (n.kind != NodeKind::Internal) [[unlikely]]
            not_internal();
        return n;
    }
    Node& internal(std::uint64_t slot) {
        Node& n = node(slot);
        if (n.kind != NodeKind::Internal) [[unlikely]]
            not_internal();
        return n;
    }
    // The two faults above (out of line, off the hot path).
    [[noreturn]] void bad_slot(std::uint64_t slot) const;
    [[noreturn]] static void not_internal();
    std::uint64_t mass_of(std::uint64_t slot) const { return node(slot).mass; }

    // Box of an internal node (no kind check; callers hold an internal slot).
    std::span<const float> bbox_min(std::uint64_t slot) const { return {box_min.data() + slot * dims, dims}; }
    std::span<const float> bbox_max(std::uint64_t slot) const { return {box_max.data() + slot * dims, dims}; }
    std::span<float> bbox_min(std::uint64_t slot) { return {box_min.data() + slot * dims, dims}; }
    std::span<float> bbox_max(std::uint64_t slot) { return {box_max.data() + slot * dims, dims}; }
    double bbox_range_sum(std::uint64_t slot) const { return box_range_sum[slot]; }

    // Document form of an internal node's box, and the reverse.
    BoundingBox bbox(std::uint64_t slot) const;
    void set_bbox(std::uint64_t slot, const BoundingBox& box);

    // Grows the box rows to one per slot (a loaded arena may lack them).
    void ensure_box_rows();

    // Box of any live node without copying: a leaf's point row (min = max)
    // or an internal node's rows. Valid until the next alloc.
    struct BoxView {
        const float* min;
        const float* max;
    };
    BoxView box_view(std::uint64_t slot, const PointStore& store) const;

    // Recomputes box and mass of each internal node of `path` (root first)
    // from its children, deepest first. The result is the same as merging
    // every box again; boxes that provably would not change are kept.
    void refresh_path(std::span<const std::uint64_t> path, const PointStore& store);

    friend bool operator==(const NodeArena&, const NodeArena&) = default;
};

}  // namespace arbolet::rcf
