// Per-tree node storage addressed by slot index, with a stack of vacant slots.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "rcf/bounding_box.hpp"

namespace arbolet::rcf {

struct PointStore;

enum class NodeKind : std::uint8_t { Vacant, Leaf, Internal };

// One slot of the arena: vacant, a leaf (point_idx, mass) or an internal node
// (left, right, cut_dim, cut_val, mass; its box lives in one of the arena's
// box rows). Node::Leaf and Node::Internal build the two variants.
//
// A node is 24 bytes, so that a forest's nodes take little memory and more
// of them stay in cache between score and update. For that every index is
// 32 bits wide or less: child slots (an arena never grows past kMaxSlots
// slots), a leaf's point row (a point store never holds more than 2^32
// rows), masses (a tree never holds more than 2^32 - 1 points), the cut
// dimension (24 bits: a forest has fewer than 2^24 dimensions), and the box
// row, which an internal node keeps where a leaf keeps its point row. A wider
// value fails instead of wrapping, and a loaded document naming one is
// refused. The row number is bookkeeping of this process: it is neither
// compared nor written to documents.
struct Node {
    NodeKind kind : 8 = NodeKind::Vacant;

private:
    std::uint32_t cut_dim_ : 24 = 0;

public:
    float cut_val = 0.0f;
    std::uint32_t left = 0;
    std::uint32_t right = 0;

private:
    // Leaf: point_idx. Internal: the box row in the low 31 bits and, in the
    // top bit, working knowledge that is not state (excluded from == and from
    // documents): set only by NodeArena::refresh_path when it has just
    // computed this internal node's box as the merge of its children's boxes,
    // so that a later refresh may keep the box bit for bit while the
    // children's boxes stay unchanged. A node built by insertion merges the
    // split node's box with the new point, which can differ from that merge
    // in the sign of a zero, so it starts clear, as do loaded and reused
    // nodes.
    std::uint32_t word_ = 0;

public:
    std::uint32_t mass = 0;

    // Largest value a 32-bit index field holds.
    static constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;
    static constexpr std::uint64_t kMaxSlots = kMax32;
    static constexpr std::uint64_t kMaxMass = kMax32;
    // The largest cut dimension, and the "no box row" mark (so at most
    // kNoBox rows exist).
    static constexpr std::uint64_t kMaxCutDim = 0xFFFFFFu;
    static constexpr std::uint64_t kNoBox = 0x7FFFFFFFu;
    static constexpr std::uint32_t kMergeBit = 0x80000000u;

    // Narrows an index to `max`, failing where it would wrap.
    static std::uint32_t narrow(std::uint64_t v, std::uint64_t max = kMax32) {
        if (v > max) [[unlikely]]
            too_wide();
        return static_cast<std::uint32_t>(v);
    }
    [[noreturn]] static void too_wide();
    // The mass of two subtrees together, failing past kMaxMass.
    static std::uint32_t mass_sum(std::uint64_t a, std::uint64_t b) { return narrow(a + b); }

    std::uint64_t point_idx() const { return word_; }
    void set_point_idx(std::uint64_t v) { word_ = narrow(v); }
    std::uint64_t cut_dim() const { return cut_dim_; }
    void set_cut_dim(std::uint64_t v) { cut_dim_ = narrow(v, kMaxCutDim); }
    std::uint64_t box_row() const { return word_ & kNoBox; }
    void set_box_row(std::uint64_t v) { word_ = (word_ & kMergeBit) | narrow(v, kNoBox); }
    bool box_is_merge() const { return (word_ & kMergeBit) != 0; }
    void set_box_is_merge(bool merge) { word_ = (word_ & kNoBox) | (merge ? kMergeBit : 0u); }
    void set_left(std::uint64_t v) { left = narrow(v); }
    void set_right(std::uint64_t v) { right = narrow(v); }

    static Node Leaf(std::uint64_t point_idx, std::uint64_t mass) {
        Node n;
        n.kind = NodeKind::Leaf;
        n.word_ = narrow(point_idx);
        n.mass = narrow(mass);
        return n;
    }
    static Node Internal(std::uint64_t left, std::uint64_t right, std::uint64_t cut_dim, float cut_val,
                         std::uint64_t mass) {
        Node n;
        n.kind = NodeKind::Internal;
        n.left = narrow(left);
        n.right = narrow(right);
        n.cut_dim_ = narrow(cut_dim, kMaxCutDim);
        n.word_ = static_cast<std::uint32_t>(kNoBox);
        n.cut_val = cut_val;
        n.mass = narrow(mass);
        return n;
    }

    bool is_leaf() const { return kind == NodeKind::Leaf; }
    bool is_internal() const { return kind == NodeKind::Internal; }

    friend bool operator==(const Node& a, const Node& b) {
        return a.kind == b.kind && a.cut_val == b.cut_val && a.left == b.left && a.right == b.right &&
               (a.kind == NodeKind::Internal ? a.cut_dim() == b.cut_dim() : a.word_ == b.word_) &&
               a.mass == b.mass;
    }
};
static_assert(sizeof(Node) == 24, "a node in 24 bytes");

// Working storage of the walks that rebuild boxes an arena does not keep
// (NodeArena::compute_box): room for kBoxes boxes and the walk's stack.
struct BoxWork {
    static constexpr std::size_t kBoxes = 4;
    std::vector<float> boxes;
    std::vector<std::uint64_t> stack;
    // Box i (below kBoxes) of `dims` dimensions: minima, then maxima.
    float* box(std::size_t i, std::uint64_t dims) {
        if (boxes.size() < 2 * kBoxes * dims) boxes.resize(2 * kBoxes * dims);
        return boxes.data() + 2 * i * dims;
    }
    // Room for walks over arenas of up to `slots` slots and `dims`
    // dimensions, so that they do not allocate.
    void make_room(std::uint64_t slots, std::uint64_t dims) {
        if (boxes.size() < 2 * kBoxes * dims) boxes.resize(2 * kBoxes * dims);
        if (stack.capacity() < slots) stack.reserve(slots);
    }
};

// Nodes holding fewer points than this keep no box; by default every
// internal node keeps its box, the fastest. At 4 about three boxes in five
// go, for a tenth (D = 16) to a third (D = 4) more time per update; larger
// values save more memory for more time (bench/README.md has the
// measurements).
inline constexpr std::uint64_t kDefaultBoxMinPoints = 2;

struct NodeArena {
    std::vector<Node> nodes;
    std::vector<std::uint64_t> free;

    // Which internal nodes keep their box in a row: those holding at least
    // `box_min_points` points (mass), and any whose box is not what merging
    // its children's boxes gives (a zero of the other sign, as insertion or
    // a loaded document may leave). Every other internal node has no row
    // (box_row() == Node::kNoBox) and its box is rebuilt on demand by
    // merging, left to right, the boxes of the leaves and kept boxes under
    // it: minNum and maxNum are associative, so that gives the very bits a
    // kept box would hold. Neither field is state: results and documents are
    // the same for every value. `keep_all_boxes` is set for good once a leaf
    // moves to a copy of its point with other bits (repoint_leaf), after
    // which the boxes above it may hold the old bits until refreshed.
    std::uint64_t box_min_points = kDefaultBoxMinPoints;
    bool keep_all_boxes = false;
    bool keeps_box(std::uint64_t mass) const { return keep_all_boxes || mass >= box_min_points; }

    // Box rows, one per internal node (leaves never need one), each
    // `row_stride()` floats: dims minima, dims maxima, then the range sum as
    // the bytes of a double. Keeping a box in one short row makes it one or
    // two cache lines, and leaving leaves out halves the table, so that a
    // forest's nodes and boxes stay in cache between score and update. Rows
    // of freed nodes go on `box_free` for reuse; which row a node gets is
    // invisible outside the arena.
    std::uint64_t dims = 0;
    std::vector<float> boxes;
    std::vector<std::uint64_t> box_free;

    std::uint64_t row_stride() const { return 2 * dims + 2; }
    // Rows laid down (checked against the table's actual length).
    std::uint64_t box_row_count() const {
        const std::uint64_t stride = row_stride();
        return boxes.size() / stride;
    }
    const float* row_min(std::uint64_t row) const { return boxes.data() + row * row_stride(); }
    const float* row_max(std::uint64_t row) const { return boxes.data() + row * row_stride() + dims; }
    float* row_min(std::uint64_t row) { return boxes.data() + row * row_stride(); }
    float* row_max(std::uint64_t row) { return boxes.data() + row * row_stride() + dims; }
    double row_range_sum(std::uint64_t row) const {
        double v;
        std::memcpy(&v, boxes.data() + row * row_stride() + 2 * dims, sizeof v);
        return v;
    }
    void set_row_range_sum(std::uint64_t row, double v) {
        std::memcpy(boxes.data() + row * row_stride() + 2 * dims, &v, sizeof v);
    }
    // Row number of an internal slot's box, failing for a slot that is not
    // internal or whose row is not laid down.
    std::uint64_t box_row_of(std::uint64_t slot) const;
    // A vacant row (reused or new), and giving one back.
    std::uint64_t take_box_row();
    // Room for one removal (two nodes and rows freed) and one insertion
    // (two nodes and up to two rows taken: the new internal node's and the
    // one of the ancestor whose mass reaches box_min_points), so that
    // neither allocates. The tables grow
    // geometrically but never past `planned_slots` slots (and the rows of
    // their internal nodes) unless the arena already holds more: a tree of
    // capacity c never holds more than 2c - 1 nodes at once, so that a full
    // tree keeps no room it cannot use.
    void make_update_room(std::uint64_t planned_slots) {
        const bool room = free.capacity() - free.size() >= 2 && box_free.capacity() - box_free.size() >= 3 &&
                          (free.size() >= 2 || nodes.capacity() - nodes.size() >= 2) &&
                          boxes.capacity() - boxes.size() + box_free.size() * row_stride() >= 2 * row_stride();
        if (!room) [[unlikely]] grow_update_room(planned_slots);
    }
    void grow_update_room(std::uint64_t planned_slots);

    // An empty arena: it takes memory as nodes arrive (make_update_room).
    static NodeArena create(std::uint64_t dims);

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

    // Whether an internal node keeps a box row; one without (kNoBox) has its
    // box rebuilt, any other row number must be laid down.
    bool has_box_row(const Node& n) const { return n.box_row() != Node::kNoBox; }

    // The box of any live node into `out` (2 * dims floats: minima, then
    // maxima), with its range sum: a leaf's point row, a kept row, or the
    // merge of what lies under the node. Bounded by the arena's slots.
    double compute_box(std::uint64_t slot, const PointStore& store, float* out,
                       std::vector<std::uint64_t>& stack) const;

    // Box of an internal node with a row (fails for any other slot).
    std::span<const float> bbox_min(std::uint64_t slot) const { return {row_min(box_row_of(slot)), dims}; }
    std::span<const float> bbox_max(std::uint64_t slot) const { return {row_max(box_row_of(slot)), dims}; }
    std::span<float> bbox_min(std::uint64_t slot) { return {row_min(box_row_of(slot)), dims}; }
    std::span<float> bbox_max(std::uint64_t slot) { return {row_max(box_row_of(slot)), dims}; }
    double bbox_range_sum(std::uint64_t slot) const { return row_range_sum(box_row_of(slot)); }

    // Document form of an internal node's box, and the reverse.
    BoundingBox bbox(std::uint64_t slot) const;
    void set_bbox(std::uint64_t slot, const BoundingBox& box);

    // Box of any live node without copying where it is kept: a leaf's point
    // row (min = max), an internal node's row, or else the box rebuilt into
    // `work`'s box `which`. Valid until the next alloc or rebuild there.
    struct BoxView {
        const float* min;
        const float* max;
    };
    BoxView box_view(std::uint64_t slot, const PointStore& store, BoxWork& work, std::size_t which = 0) const;

    // Gives a row to every internal node that keeps_box() asks one for and
    // takes it from those that need none (their box being the merge of
    // their children's), then packs the rows that remain into a table of
    // just their size. After a load and after box_min_points changes.
    void fit_boxes(const PointStore& store);

    // Starts loading the boxes that an update along `path` (root first)
    // will read and write: those of the path's internal nodes and of the
    // `siblings` left behind (a leaf's box is its point row), so that they
    // come in together instead of one level at a time. A prefetch never
    // faults; nothing is checked here.
    void prefetch_path_boxes(std::span<const std::uint64_t> path, std::span<const std::uint64_t> siblings,
                             const PointStore& store) const;

    // Recomputes box and mass of each internal node of `path` (root first)
    // from its children, deepest first. The result is the same as merging
    // every box again; boxes that provably would not change are kept.
    // Nodes that hold fewer than box_min_points points give their rows
    // back, and those that reach it take one.
    // `below_slot` names a node without a row under the path whose box the
    // caller left in `work`'s box 2, or is kNone.
    void refresh_path(std::span<const std::uint64_t> path, const PointStore& store, BoxWork& work,
                      std::uint64_t below_slot = UINT64_MAX);

    // Same nodes and free slots; boxes are compared by same_boxes, which
    // needs the point rows.
    friend bool operator==(const NodeArena& a, const NodeArena& b);
    // Same box at every internal node, kept or rebuilt (bit for bit).
    static bool same_boxes(const NodeArena& a, const PointStore& sa, const NodeArena& b, const PointStore& sb);
};

}  // namespace arbolet::rcf
