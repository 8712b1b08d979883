#include "rcf/node_arena.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/internal_failure.hpp"
#include "common/memory_budget.hpp"
#include "common/platform.hpp"
#include "common/room.hpp"
#include "rcf/box_kernels.hpp"
#include "rcf/config.hpp"
#include "rcf/point_store.hpp"

namespace arbolet::rcf {

NodeArena NodeArena::create(std::uint64_t dims) {
    NodeArena arena;
    arena.dims = dims;
    return arena;
}

std::uint64_t NodeArena::take_box_row() {
    if (!box_free.empty()) {
        const std::uint64_t row = box_free.back();
        box_free.pop_back();
        check_index(row, box_row_count());
        return row;
    }
    const std::uint64_t row = box_row_count();
    // Row numbers are 32 bits wide, the top value marking "no row".
    if (row >= Node::kNoBox) fail("node box table exceeds 2^31 - 1 rows");
    std::uint64_t cells = 0;
    if (!checked_mul(row + 1, row_stride(), cells)) fail("node box table size overflows");
    check_allocation(cells, sizeof(float));
    boxes.resize(cells, 0.0f);
    return row;
}

namespace {

// A first table of a few cache lines: a young tree grows by a node or two
// an update, and many small steps would each cost a reallocation. The free
// stacks start smaller: they seldom hold more than the few entries of one
// update.
constexpr std::uint64_t kFirstRoom = 32;
constexpr std::uint64_t kFirstStackRoom = 4;

// Capacity for `extra` more elements: doubling keeps the growth amortised,
// capped at `planned` elements unless more are needed.
template <class T>
void grow_toward(std::vector<T>& v, std::size_t extra, std::uint64_t planned, std::uint64_t first = kFirstRoom) {
    if (v.capacity() - v.size() >= extra) return;
    const std::uint64_t needed = v.size() + extra;
    const std::uint64_t doubled = std::max<std::uint64_t>(2 * v.capacity(), first);
    const std::uint64_t target = std::max(needed, std::min<std::uint64_t>(doubled, planned));
    check_allocation(target, sizeof(T));
    reserve_total(v, static_cast<std::size_t>(target));
}

}  // namespace

void NodeArena::grow_update_room(std::uint64_t planned_slots) {
    // A binary tree has fewer internal nodes than leaves: half the slots,
    // and so half the box rows, are enough.
    const std::uint64_t planned_rows = planned_slots / 2 + 1;
    grow_toward(free, 2, planned_rows, kFirstStackRoom);
    grow_toward(box_free, 3, planned_rows, kFirstStackRoom);
    if (free.size() < 2) grow_toward(nodes, 2, planned_slots);
    if (box_free.size() < 2) {
        std::uint64_t cells = 0;
        if (!checked_mul(box_row_count() + 2 - box_free.size(), row_stride(), cells)) return;  // take_box_row refuses it
        if (boxes.capacity() >= cells) return;
        const std::uint64_t planned = saturating_mul(planned_rows, row_stride());
        // By a quarter: most nodes keep no box, and a table that stops
        // growing keeps little room it does not use.
        const std::uint64_t doubled = std::max(saturating_add(boxes.capacity(), boxes.capacity() / 4),
                                               saturating_mul(kFirstRoom / 4, row_stride()));
        const std::uint64_t target = std::max(cells, std::min(doubled, planned));
        check_allocation(target, sizeof(float));
        reserve_total(boxes, static_cast<std::size_t>(target));
    }
}

std::uint64_t NodeArena::box_row_of(std::uint64_t slot) const {
    const Node& n = internal(slot);
    check_index(n.box_row(), box_row_count());
    return n.box_row();
}

std::uint64_t NodeArena::alloc(const Node& node) {
    std::uint64_t slot;
    if (!free.empty()) {
        slot = free.back();
        check_index(slot, nodes.size());
        free.pop_back();
        nodes[slot] = node;
    } else {
        // Child slots are 32 bits wide: an arena stops short of wrapping them.
        if (nodes.size() >= Node::kMaxSlots) fail("node arena exceeds 2^32 - 1 slots");
        nodes.push_back(node);
        slot = nodes.size() - 1;
    }
    // The caller gives a new internal node a row if it keeps its box.
    if (node.kind == NodeKind::Internal) nodes[slot].set_box_row(Node::kNoBox);
    return slot;
}

void NodeArena::free_node(std::uint64_t slot) {
    check_index(slot, nodes.size());
    // Releasing a vacant slot would put it on the stack twice and hand it out
    // to two nodes.
    if (nodes[slot].kind == NodeKind::Vacant) fail("accessed freed or uninitialized node");
    if (nodes[slot].kind == NodeKind::Internal && nodes[slot].box_row() < box_row_count())
        box_free.push_back(nodes[slot].box_row());
    nodes[slot] = Node{};
    free.push_back(slot);
}

void NodeArena::bad_slot(std::uint64_t slot) const {
    check_index(slot, nodes.size());
    fail("accessed freed or uninitialized node");
}

void Node::too_wide() { fail("node index does not fit in its field"); }

void NodeArena::not_internal() { fail("internal error: entered unreachable code"); }

BoundingBox NodeArena::bbox(std::uint64_t slot) const {
    check_index(slot, nodes.size());
    const Node& n = nodes[slot];
    if (n.kind != NodeKind::Internal || n.box_row() >= box_row_count()) {
        // A node without a row reads as an all-zero box.
        return BoundingBox{std::vector<float>(dims, 0.0f), std::vector<float>(dims, 0.0f), 0.0};
    }
    const float* lo = row_min(n.box_row());
    const float* hi = row_max(n.box_row());
    return BoundingBox{std::vector<float>(lo, lo + dims), std::vector<float>(hi, hi + dims),
                       row_range_sum(n.box_row())};
}

void NodeArena::set_bbox(std::uint64_t slot, const BoundingBox& box) {
    check_index(slot, nodes.size());
    if (box.min.size() != dims || box.max.size() != dims) fail("bounding box length does not match the tree");
    Node& n = internal(slot);
    if (n.box_row() >= box_row_count()) n.set_box_row(take_box_row());
    std::copy(box.min.begin(), box.min.end(), row_min(n.box_row()));
    std::copy(box.max.begin(), box.max.end(), row_max(n.box_row()));
    set_row_range_sum(n.box_row(), box.range_sum);
}

NodeArena::BoxView NodeArena::box_view(std::uint64_t slot, const PointStore& store, BoxWork& work, std::size_t which) const {
    const Node& n = node(slot);
    if (n.kind == NodeKind::Leaf) {
        const std::span<const float> r = store.row(n.point_idx());
        if (r.size() != dims) fail("point length does not match the tree");
        return {r.data(), r.data()};
    }
    if (!has_box_row(n)) {
        float* out = work.box(which, dims);
        compute_box(slot, store, out, work.stack);
        return {out, out + dims};
    }
    check_index(n.box_row(), box_row_count());
    return {row_min(n.box_row()), row_max(n.box_row())};
}

namespace {

// Grows box (lo, hi) to take in (mn, mx), as kernels::grow_box: Wide only in
// code compiled for AVX2 (compute_box_wide), which inlines it.
#if defined(ARBOLET_X86_DISPATCH)
ARBOLET_TARGET_AVX2 inline void grow_wide(float* lo, float* hi, const float* mn, const float* mx, std::size_t d) {
    std::size_t i = 0;
    for (; i + 8 <= d; i += 8) {
        _mm256_storeu_ps(lo + i, kernels::min_num8(_mm256_loadu_ps(lo + i), _mm256_loadu_ps(mn + i)));
        _mm256_storeu_ps(hi + i, kernels::max_num8(_mm256_loadu_ps(hi + i), _mm256_loadu_ps(mx + i)));
    }
    kernels::grow_box_plain(lo, hi, mn, mx, d, i);
}
#endif

template <bool Wide>
inline void grow_inline(float* lo, float* hi, const float* mn, const float* mx, std::size_t d) {
#if defined(ARBOLET_X86_DISPATCH)
    if constexpr (Wide) return grow_wide(lo, hi, mn, mx, d);
#endif
    kernels::grow_box_plain(lo, hi, mn, mx, d);
}

// NodeArena::compute_box below the node itself: the bounds checked once per
// walk as in ChildBoxes, anything outside them through the checked
// accessors, which raise the failure.
template <bool Wide>
double compute_box_body(const NodeArena& arena, std::uint64_t slot, const PointStore& store, float* out,
                        std::vector<std::uint64_t>& stack) {
    const std::size_t d = static_cast<std::size_t>(arena.dims);
    if (store.dim != arena.dims) fail("point length does not match the tree");
    float* lo = out;
    float* hi = out + d;
    const Node* nodes = arena.nodes.data();
    const std::uint64_t slots = arena.nodes.size();
    const std::uint64_t box_rows = arena.box_row_count();
    std::uint64_t rows = store.capacity;
    if (d > 0) rows = std::min<std::uint64_t>(rows, store.store.data.size() / d);
    const float* points = store.store.data.data();
    std::uint64_t steps = 0;
    bool first = true;
    stack.clear();
    stack.push_back(slot);
    while (!stack.empty()) {
        const std::uint64_t s = stack.back();
        stack.pop_back();
        if (++steps > slots) fail("tree walk visits more nodes than the arena holds (cycle in the tree)");
        const Node& n = s < slots ? nodes[s] : arena.node(s);
        const float* mn;
        const float* mx;
        if (n.kind == NodeKind::Internal) {
            const std::uint64_t row = n.box_row();
            if (row == Node::kNoBox) {
                // Left to right: the right child waits below the left one,
                // asked for now so that its load overlaps the left side's.
                if (n.right < slots) prefetch(nodes + n.right);
                stack.push_back(n.right);
                stack.push_back(n.left);
                continue;
            }
            check_index(row, box_rows);
            mn = arena.row_min(row);
            mx = mn + d;
        } else if (n.kind == NodeKind::Leaf) {
            const std::uint64_t p = n.point_idx();
            if (p >= rows) [[unlikely]]
                (void)store.row(p);  // fails
            mn = mx = points + p * d;
            if (!stack.empty() && stack.back() < slots) prefetch(nodes + stack.back());
        } else {
            (void)arena.node(s);  // fails: vacant
            continue;
        }
        if (first) {
            std::copy_n(mn, d, lo);
            std::copy_n(mx, d, hi);
            first = false;
        } else {
            grow_inline<Wide>(lo, hi, mn, mx, d);
        }
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < d; ++i) sum += static_cast<double>(hi[i] - lo[i]);
    return sum;
}

#if defined(ARBOLET_X86_DISPATCH)
ARBOLET_TARGET_AVX2_FLATTEN double compute_box_wide(const NodeArena& arena, std::uint64_t slot,
                                                    const PointStore& store, float* out,
                                                    std::vector<std::uint64_t>& stack) {
    const double sum = compute_box_body<true>(arena, slot, store, out, stack);
    _mm256_zeroupper();
    return sum;
}
#endif

}  // namespace

double NodeArena::compute_box(std::uint64_t slot, const PointStore& store, float* out,
                              std::vector<std::uint64_t>& stack) const {
    const Node& top = node(slot);
    if (top.kind == NodeKind::Internal && has_box_row(top)) {
        check_index(top.box_row(), box_row_count());
        std::copy_n(row_min(top.box_row()), 2 * dims, out);
        return row_range_sum(top.box_row());
    }
#if defined(ARBOLET_X86_DISPATCH)
    if (dims >= kernels::kWideFrom && kernels::wide_enabled()) return compute_box_wide(*this, slot, store, out, stack);
#endif
    return compute_box_body<false>(*this, slot, store, out, stack);
}

namespace {

bool same_bits(const float* a, const float* b, std::size_t n) { return std::memcmp(a, b, n * sizeof(float)) == 0; }

}  // namespace

void NodeArena::fit_boxes(const PointStore& store) {
    BoxWork work;
    const std::size_t d = static_cast<std::size_t>(dims);
    float* merged = work.box(0, dims);
    float* left = work.box(1, dims);
    float* right = work.box(2, dims);
    std::vector<std::uint64_t> stack;
    // Rows first: a node that needs one gets it from what lies under it,
    // rows of the others still in place.
    for (std::uint64_t slot = 0; slot < nodes.size(); ++slot) {
        const Node& n = nodes[slot];
        if (n.kind != NodeKind::Internal || has_box_row(n) || !keeps_box(n.mass)) continue;
        const double sum = compute_box(slot, store, merged, stack);
        const std::uint64_t row = take_box_row();
        nodes[slot].set_box_row(row);
        std::copy_n(merged, 2 * d, row_min(row));
        set_row_range_sum(row, sum);
    }
    // A kept row that is the merge of the children's boxes, bit for bit, and
    // whose range sum its box gives, goes when the node does not ask for one.
    for (std::uint64_t slot = 0; slot < nodes.size(); ++slot) {
        Node& n = nodes[slot];
        if (n.kind != NodeKind::Internal || !has_box_row(n) || keeps_box(n.mass)) continue;
        check_index(n.box_row(), box_row_count());
        compute_box(n.left, store, left, stack);
        compute_box(n.right, store, right, stack);
        std::copy_n(left, 2 * d, merged);
        const bool wide = d >= kernels::kWideFrom && kernels::wide_enabled();
        kernels::grow_box(wide, merged, merged + d, right, right + d, d);
        double sum = 0.0;
        for (std::size_t i = 0; i < d; ++i) sum += static_cast<double>(merged[d + i] - merged[i]);
        const double kept = row_range_sum(n.box_row());
        if (!same_bits(merged, row_min(n.box_row()), 2 * d) || std::memcmp(&sum, &kept, sizeof sum) != 0) continue;
        box_free.push_back(n.box_row());
        n.set_box_row(Node::kNoBox);
    }
    // Pack the rows that remain, in slot order, into a table of their size.
    std::uint64_t kept = 0;
    for (const Node& n : nodes) kept += n.kind == NodeKind::Internal && has_box_row(n);
    std::vector<float> packed;
    std::uint64_t cells = 0;
    if (!checked_mul(kept, row_stride(), cells)) fail("node box table size overflows");
    check_allocation(cells, sizeof(float));
    packed.reserve(static_cast<std::size_t>(cells));
    std::uint64_t next = 0;
    for (Node& n : nodes) {
        if (n.kind != NodeKind::Internal || !has_box_row(n)) continue;
        check_index(n.box_row(), box_row_count());
        const float* row = row_min(n.box_row());
        packed.insert(packed.end(), row, row + row_stride());
        n.set_box_row(next++);
    }
    boxes = std::move(packed);
    box_free.clear();
    box_free.shrink_to_fit();
}

void NodeArena::prefetch_path_boxes(std::span<const std::uint64_t> path, std::span<const std::uint64_t> siblings,
                                    const PointStore& store) const {
    const std::uint64_t rows = box_row_count();
    const std::size_t row_bytes = row_stride() * sizeof(float);
    auto box_of = [&](std::uint64_t slot) {
        if (slot >= nodes.size()) return;
        const Node& n = nodes[slot];
        if (n.kind == NodeKind::Internal && n.box_row() < rows)
            prefetch_bytes(boxes.data() + n.box_row() * row_stride(), row_bytes);
        else if (n.kind == NodeKind::Leaf)
            store.prefetch_row(n.point_idx());
    };
    for (const std::uint64_t slot : path) box_of(slot);
    for (const std::uint64_t slot : siblings) box_of(slot);
}

bool operator==(const NodeArena& a, const NodeArena& b) {
    return a.dims == b.dims && a.nodes == b.nodes && a.free == b.free;
}

bool NodeArena::same_boxes(const NodeArena& a, const PointStore& sa, const NodeArena& b, const PointStore& sb) {
    if (a.dims != b.dims || a.nodes.size() != b.nodes.size()) return false;
    BoxWork wa, wb;
    const std::size_t d = static_cast<std::size_t>(a.dims);
    float* ba = wa.box(0, a.dims);
    float* bb = wb.box(0, b.dims);
    for (std::size_t slot = 0; slot < a.nodes.size(); ++slot) {
        if (a.nodes[slot].kind != NodeKind::Internal || b.nodes[slot].kind != NodeKind::Internal) continue;
        const double ra = a.compute_box(slot, sa, ba, wa.stack);
        const double rb = b.compute_box(slot, sb, bb, wb.stack);
        for (std::size_t i = 0; i < 2 * d; ++i)
            if (!(ba[i] == bb[i])) return false;
        if (!(ra == rb)) return false;
    }
    return true;
}

namespace {

// The boxes and masses that one refresh walk reads, with the bounds checked
// once per walk: an internal node's row number is compared with the rows
// laid down, and `rows` is the number of point rows that PointStore::row would accept, so a
// level costs a few comparisons and pointer arithmetic. Anything outside
// those bounds goes through the checked accessors, which raise the failure.
struct ChildBoxes {
    const NodeArena& arena;
    const PointStore& store;
    std::uint64_t slots;
    std::uint64_t box_rows;
    std::uint64_t rows;

    ChildBoxes(const NodeArena& a, const PointStore& s)
        : arena(a), store(s), slots(a.nodes.size()), box_rows(a.box_row_count()), rows(s.capacity) {
        if (s.dim != a.dims) fail("point length does not match the tree");
        if (a.dims > 0) rows = std::min<std::uint64_t>(rows, s.store.data.size() / a.dims);
    }

    // An internal child with its box row in place, or null: above an
    // unchanged box, such children only give their masses.
    const Node* internal_child(std::uint64_t slot) const {
        if (slot >= slots) return nullptr;
        const Node& n = arena.nodes[slot];
        return n.kind == NodeKind::Internal && n.box_row() < box_rows ? &n : nullptr;
    }

    // A child's box: its row, its point, `below` when it is the node just
    // refreshed without a row, or else rebuilt into work box `which`.
    NodeArena::BoxView box(std::uint64_t slot, std::uint64_t& mass, std::uint64_t below_slot, const float* below,
                           BoxWork& work, std::size_t which) const {
        if (slot < slots) [[likely]] {
            const Node& n = arena.nodes[slot];
            if (n.kind == NodeKind::Internal && n.box_row() < box_rows) {
                mass = n.mass;
                return {arena.row_min(n.box_row()), arena.row_max(n.box_row())};
            }
            if (n.kind == NodeKind::Leaf && n.point_idx() < rows) {
                mass = n.mass;
                const float* row = store.store.data.data() + n.point_idx() * arena.dims;
                return {row, row};
            }
            if (slot == below_slot && n.kind == NodeKind::Internal) {
                mass = n.mass;
                return {below, below + arena.dims};
            }
        }
        const NodeArena::BoxView view = arena.box_view(slot, store, work, which);
        mass = arena.mass_of(slot);
        return view;
    }
};

}  // namespace

// Early stop: once a recomputed box comes out bit-identical to the one it
// replaces, the boxes above it can only change where a node's stored box is
// not the merge of its children's boxes. Such nodes (box_is_merge() false) and
// nodes with a leaf child are still recomputed; the leaf rule is there because
// a leaf's box is its point row, which can change without a refresh (a leaf
// moved to another copy of its point that differs in the sign of a zero).
// Masses are always recomputed (above an unchanged box, from the children's
// nodes alone). A node without a row counts as changed: there is nothing to
// compare with, and recomputing a box that is the merge of its children's
// gives the same bits as keeping it.
namespace {

// NodeArena::refresh_path with the box merge fixed: Wide only in code
// compiled for AVX2 (refresh_wide).
template <bool Wide>
void refresh(NodeArena& arena, std::span<const std::uint64_t> path, const PointStore& store, BoxWork& work,
             std::uint64_t below_slot) {
    const std::size_t d = static_cast<std::size_t>(arena.dims);
    // Boxes 0 and 1 of `work` take rebuilt children; `spare` the box of a
    // node that keeps no row, which becomes `below` for its parent.
    float* below = work.box(2, arena.dims);
    float* spare = work.box(3, arena.dims);
    bool unchanged_below = false;
    for (std::size_t k = path.size(); k-- > 0;) {
        const std::uint64_t slot = path[k];
        Node& n = arena.internal(slot);
        const ChildBoxes children(arena, store);
        if (unchanged_below && n.box_is_merge() && n.box_row() < children.box_rows) {
            const Node* left = children.internal_child(n.left);
            const Node* right = children.internal_child(n.right);
            if (left != nullptr && right != nullptr) {
                n.mass = Node::mass_sum(left->mass, right->mass);
                below_slot = kNone;
                continue;
            }
        }
        std::uint64_t left_mass = 0, right_mass = 0;
        const NodeArena::BoxView l = children.box(n.left, left_mass, below_slot, below, work, 0);
        const NodeArena::BoxView r = children.box(n.right, right_mass, below_slot, below, work, 1);
        n.mass = Node::mass_sum(left_mass, right_mass);
        bool changed = false;
        float* out_min;
        float* out_max;
        // A row goes back only while the free stack has room for it (made
        // by make_update_room), so that a refresh never allocates; one kept
        // beyond need is still the node's box.
        const bool keep = arena.keeps_box(n.mass) ||
                          (arena.has_box_row(n) && arena.box_free.size() == arena.box_free.capacity());
        if (keep) {
            if (!arena.has_box_row(n)) {
                // Room was made for it (make_update_room): the table does
                // not move, and the views above stay valid.
                n.set_box_row(arena.take_box_row());
                changed = true;
            }
            check_index(n.box_row(), arena.box_row_count());
            out_min = arena.row_min(n.box_row());
            out_max = arena.row_max(n.box_row());
        } else {
            if (arena.has_box_row(n)) {
                check_index(n.box_row(), arena.box_row_count());
                arena.box_free.push_back(n.box_row());
                n.set_box_row(Node::kNoBox);
            }
            changed = true;
            out_min = spare;
            out_max = spare + d;
        }
        double sum;
#if defined(ARBOLET_X86_DISPATCH)
        if constexpr (Wide)
            sum = kernels::merge_boxes_avx2_inline(l.min, l.max, r.min, r.max, out_min, out_max, d, changed);
        else
#endif
            sum = kernels::merge_boxes_plain(l.min, l.max, r.min, r.max, out_min, out_max, d, changed);
        if (keep) {
            arena.set_row_range_sum(n.box_row(), sum);
            below_slot = kNone;
        } else {
            std::swap(spare, below);
            below_slot = slot;
        }
        n.set_box_is_merge(true);
        unchanged_below = !changed;
    }
}

#if defined(ARBOLET_X86_DISPATCH)
ARBOLET_TARGET_AVX2_FLATTEN void refresh_wide(NodeArena& arena, std::span<const std::uint64_t> path,
                                              const PointStore& store, BoxWork& work, std::uint64_t below_slot) {
    refresh<true>(arena, path, store, work, below_slot);
    _mm256_zeroupper();
}
#endif

}  // namespace

void NodeArena::refresh_path(std::span<const std::uint64_t> path, const PointStore& store, BoxWork& work,
                             std::uint64_t below_slot) {
    if (path.empty()) return;
#if defined(ARBOLET_X86_DISPATCH)
    if (dims >= kernels::kWideFrom && kernels::wide_enabled())
        return refresh_wide(*this, path, store, work, below_slot);
#endif
    refresh<false>(*this, path, store, work, below_slot);
}

}  // namespace arbolet::rcf
