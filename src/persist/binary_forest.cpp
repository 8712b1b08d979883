// The Forest in the compact binary form. Only what cannot be recomputed is
// stored: internal masses, boxes and range sums are rebuilt from the
// children (with the few box entries and sums that a rebuild would not
// reproduce bit for bit stored as exceptions), tree masses and the point
// store's reference counts from the samplers, and the copies of the
// configuration inside the trees and the point store from the configuration.
// The load checks guarantee that a state in memory agrees with all of these.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"
#include "persist/binary_io.hpp"
#include "persist/binary_records.hpp"
#include "persist/binary_state.hpp"
#include "persist/forest_records.hpp"
#include "persist/validate.hpp"
#include "rcf/bounding_box.hpp"

namespace arbolet::persist {

namespace {

using binary::BitReader;
using binary::BitWriter;
using binary::ByteReader;
using binary::ByteWriter;
using rcf::kNone;
using rcf::Node;
using rcf::NodeKind;

void write_rng(ByteWriter& w, const Xoshiro256PlusPlus& rng) { binary::write_record<Xoshiro256PlusPlus>(w, rng); }

void read_rng(ByteReader& r, Xoshiro256PlusPlus& rng) { binary::read_record<Xoshiro256PlusPlus>(r, rng); }

// Slots of a tree's live nodes, root first, each node before its left
// subtree and that before its right subtree.
void preorder(const rcf::RcfTree& tree, std::vector<std::uint64_t>& order, std::vector<std::uint64_t>& stack) {
    order.clear();
    stack.clear();
    if (tree.root == kNone) return;
    stack.push_back(tree.root);
    while (!stack.empty()) {
        const std::uint64_t s = stack.back();
        stack.pop_back();
        order.push_back(s);
        const Node& n = tree.arena.nodes[s];
        if (n.kind == NodeKind::Internal) {
            stack.push_back(n.right);
            stack.push_back(n.left);
        }
    }
}

struct BoxRef {
    const float* min;
    const float* max;
};

BoxRef box_of(const rcf::NodeArena& arena, const rcf::PointStore& ps, std::uint64_t slot) {
    const Node& n = arena.nodes[slot];
    if (n.kind == NodeKind::Leaf) {
        const float* row = ps.store.data.data() + n.point_idx() * ps.dim;
        return {row, row};
    }
    return {arena.row_min(n.box_row()), arena.row_max(n.box_row())};
}

// The same for a tree that may keep only some boxes: `which` names the
// working box a rebuilt one goes to.
BoxRef box_of(const rcf::NodeArena& arena, const rcf::PointStore& ps, std::uint64_t slot, rcf::BoxWork& work,
              std::size_t which) {
    const rcf::NodeArena::BoxView v = arena.box_view(slot, ps, work, which);
    return {v.min, v.max};
}

double range_sum_of(const float* mn, const float* mx, std::uint64_t d) {
    double sum = 0.0;
    for (std::uint64_t k = 0; k < d; ++k) sum += static_cast<double>(mx[k] - mn[k]);
    return sum;
}

// ---- writing -------------------------------------------------------------------

void write_tree(ByteWriter& w, const rcf::RcfTree& tree, const rcf::PointStore& ps, std::vector<std::uint64_t>& order,
                std::vector<std::uint64_t>& stack, std::vector<float>& merged) {
    const rcf::NodeArena& arena = tree.arena;
    const std::uint64_t d = arena.dims;
    write_rng(w, tree.rng);
    w.var(arena.nodes.size());
    w.var(arena.free.size());
    for (std::uint64_t s : arena.free) w.var(s);

    preorder(tree, order, stack);
    const unsigned slot_bits = binary::width_below(arena.nodes.size());
    const unsigned dim_bits = binary::width_below(d);
    BitWriter shape;
    for (std::uint64_t s : order) {
        const Node& n = arena.nodes[s];
        shape.put(n.kind == NodeKind::Internal ? 1 : 0, 1);
        shape.put(s, slot_bits);
        if (n.kind == NodeKind::Internal) shape.put(n.cut_dim(), dim_bits);
    }
    shape.flush_to(w);
    for (std::uint64_t s : order) {
        const Node& n = arena.nodes[s];
        if (n.kind == NodeKind::Internal) {
            w.f32(n.cut_val);
        } else {
            w.var(n.point_idx());
            w.var(std::uint64_t{n.mass} - 1);
        }
    }

    // Exceptions, in the order the reader rebuilds the boxes (children
    // before parents, that is pre-order backwards).
    ByteWriter entries, sums;
    std::uint64_t entry_count = 0, sum_count = 0;
    merged.resize(2 * d);
    rcf::BoxWork work;
    for (std::size_t i = order.size(); i-- > 0;) {
        const Node& n = arena.nodes[order[i]];
        if (n.kind != NodeKind::Internal) continue;
        const BoxRef a = box_of(arena, ps, n.left, work, 0), b = box_of(arena, ps, n.right, work, 1);
        float* own = work.box(2, d);
        const double sum = arena.compute_box(order[i], ps, own, work.stack);
        const float* mn = own;
        const float* mx = own + d;
        for (std::uint64_t k = 0; k < d; ++k) {
            merged[k] = rcf::min_num(a.min[k], b.min[k]);
            merged[d + k] = rcf::max_num(a.max[k], b.max[k]);
        }
        for (std::uint64_t k = 0; k < 2 * d; ++k) {
            const float stored = k < d ? mn[k] : mx[k - d];
            if (std::bit_cast<std::uint32_t>(stored) != std::bit_cast<std::uint32_t>(merged[k])) {
                entries.var(i);
                entries.var(k);
                entries.f32(stored);
                ++entry_count;
            }
        }
        if (std::bit_cast<std::uint64_t>(sum) != std::bit_cast<std::uint64_t>(range_sum_of(mn, mx, d))) {
            sums.var(i);
            sums.f64(sum);
            ++sum_count;
        }
    }
    w.var(entry_count);
    w.bytes(entries.str());
    w.var(sum_count);
    w.bytes(sums.str());
}

void write_sampler(ByteWriter& w, const rcf::Sampler& s) {
    w.var(s.size);
    w.f64(s.pending_weight);
    w.var_or_none(s.pending_point);
    for (std::uint64_t k = 0; k < s.size; ++k) w.f64(s.weights[k]);
    for (std::uint64_t k = 0; k < s.size; ++k) w.var(s.point_indices[k]);
    // Entries past size are never written by the sampler: +0.0 and none.
    bool fresh = true;
    for (std::uint64_t k = s.size; k < s.weights.size() && fresh; ++k)
        fresh = std::bit_cast<std::uint64_t>(s.weights[k]) == 0 && s.point_indices[k] == kNone;
    w.u8(fresh ? 0 : 1);
    if (!fresh)
        for (std::uint64_t k = s.size; k < s.capacity; ++k) {
            w.f64(s.weight_at(k));
            w.var_or_none(s.point_at(k));
        }
}

void write_floats(ByteWriter& w, const float* p, std::size_t n) {
    if (n == 0) return;  // p may be null then
    const std::size_t at = w.str().size();
    w.str().resize(at + 4 * n);
    char* out = w.str().data() + at;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, p, 4 * n);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t v = std::bit_cast<std::uint32_t>(p[i]);
            for (int b = 0; b < 4; ++b) out[4 * i + b] = static_cast<char>(v >> (8 * b));
        }
    }
}

void read_floats(ByteReader& r, float* p, std::size_t n) {
    if (n == 0) return;  // p may be null then
    r.count(n, 32, "values");
    const std::string_view in = r.take(4 * n);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, in.data(), 4 * n);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t v = 0;
            for (int b = 0; b < 4; ++b) v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(in[4 * i + b])) << (8 * b);
            p[i] = std::bit_cast<float>(v);
        }
    }
}

void write_point_store(ByteWriter& w, const rcf::PointStore& ps) {
    w.var(ps.capacity);
    w.var(ps.next_free);
    w.var(ps.entries_seen);
    w.var(ps.free_list.size());
    for (std::uint64_t s : ps.free_list) w.var(s);
    const std::size_t used = ps.next_free * ps.dim;
    write_floats(w, ps.store.data.data(), used);
    // Rows never handed out are zeros unless a document said otherwise.
    bool zeros = true;
    for (std::size_t i = used; i < ps.store.data.size() && zeros; ++i)
        zeros = std::bit_cast<std::uint32_t>(ps.store.data[i]) == 0;
    w.u8(zeros ? 0 : 1);
    if (!zeros) {
        write_floats(w, ps.store.data.data() + used, ps.store.data.size() - used);
        // and the rows past those held, which are zeros
        w.str().append(4 * (ps.capacity - ps.held_rows()) * ps.dim, '\0');
    }
    write_floats(w, ps.shingle_buf.data(), ps.shingle_buf.size());
}

// ---- reading -------------------------------------------------------------------

class ForestReader {
public:
    explicit ForestReader(ByteReader& r) : r_(r) {}

    // Decodes the payload; inconsistencies that the shared checks find are
    // left to them, while anything that would make decoding itself unsafe
    // fails here.
    void run(rcf::Forest& f) {
        read_config(f.config);
        f.entries_seen = r_.var();
        read_rng(r_, f.rng);
        read_point_store(f);
        // A sampler takes at least 11 bytes and a tree 37.
        r_.count(f.config.num_trees, 48 * 8, "trees");
        f.samplers.resize(f.config.num_trees);
        for (rcf::Sampler& s : f.samplers) read_sampler(s);
        derive_references(f);
        f.trees.resize(f.config.num_trees);
        for (std::size_t t = 0; t < f.trees.size(); ++t) read_tree(f, t);
        if (!r_.at_end()) r_.fail("trailing bytes after the state");
    }

private:
    [[noreturn]] void inconsistent(const std::string& what) { throw Inconsistent{"inconsistent state: " + what}; }

    void read_config(rcf::RcfConfig& c) {
        binary::read_record<rcf::RcfConfig>(r_, c);
        Status valid = rcf::Forest::check_config(c);
        if (!valid) inconsistent(valid.error().text);
        // The tables that the configuration fixes, refused as the
        // constructor refuses them when they would not fit; check_config has
        // ruled out every overflow here.
        rcf::Forest::check_size(c);
        dims_ = c.input_dim * c.shingle_size;
        config_rows_ = std::max(c.num_trees * c.capacity + 1, 2 * c.capacity);
        capacity_ = c.capacity;
    }

    void read_point_store(rcf::Forest& f) {
        rcf::PointStore& ps = f.point_store;
        ps.dim = dims_;
        ps.input_dim = f.config.input_dim;
        ps.shingle_size = f.config.shingle_size;
        ps.internal_shingling = f.config.internal_shingling;
        ps.capacity = r_.var();
        ps.next_free = r_.var();
        ps.entries_seen = r_.var();
        if (ps.next_free > ps.capacity) inconsistent("point store next_free beyond its capacity");
        // A store grows only when it is full, to twice its rows plus four.
        if (ps.capacity > config_rows_ && (ps.next_free > (UINT64_MAX - 4) / 2 || ps.capacity > 2 * ps.next_free + 4))
            inconsistent("point store capacity " + std::to_string(ps.capacity) + " cannot follow next_free " +
                         std::to_string(ps.next_free));
        ps.free_list.resize(r_.count(r_.var(), 8, "free points"));
        for (std::uint64_t& s : ps.free_list) s = r_.var();
        // The rows handed out, then (flagged) the rest up to capacity when
        // they are not all zeros; the tables hold only the rows stored.
        std::uint64_t used = 0, all = 0;
        if (!checked_mul(ps.next_free, dims_, used) || !checked_mul(ps.capacity, dims_, all))
            r_.fail("point store too large");
        ps.store.dim = {ps.capacity, dims_};
        r_.count(used, 32, "point values");
        ps.store.data.resize(used);
        read_floats(r_, ps.store.data.data(), used);
        held_rows_ = ps.next_free;
        if (r_.flag()) {
            r_.count(all - used, 32, "point values");
            ps.store.data.resize(all);
            read_floats(r_, ps.store.data.data() + used, all - used);
            held_rows_ = ps.capacity;
        }
        r_.count(dims_, 32, "shingle values");
        ps.shingle_buf.resize(dims_);
        read_floats(r_, ps.shingle_buf.data(), dims_);
    }

    // The lists hold the entries up to size, or (flagged) all of capacity.
    void read_sampler(rcf::Sampler& s) {
        s.capacity = capacity_;
        s.size = r_.var();
        if (s.size > s.capacity) inconsistent("sampler size beyond its capacity");
        s.pending_weight = r_.f64();
        s.pending_point = r_.var_or_none();
        r_.count(s.size, 72, "sampler entries");
        s.weights.resize(s.size);
        s.point_indices.resize(s.size);
        for (std::uint64_t k = 0; k < s.size; ++k) s.weights[k] = r_.f64();
        for (std::uint64_t k = 0; k < s.size; ++k) s.point_indices[k] = r_.var();
        if (r_.flag()) {
            r_.count(s.capacity - s.size, 72, "sampler entries");
            s.weights.resize(s.capacity);
            s.point_indices.resize(s.capacity);
            for (std::uint64_t k = s.size; k < s.capacity; ++k) {
                s.weights[k] = r_.f64();
                s.point_indices[k] = r_.var_or_none();
            }
        }
    }

    // Reference counts are the samplers' entries; the point store's checks
    // then compare occupancy, size and free list with them.
    void derive_references(rcf::Forest& f) {
        rcf::PointStore& ps = f.point_store;
        ps.ref_count.assign(held_rows_, 0);
        for (const rcf::Sampler& s : f.samplers)
            for (std::uint64_t k = 0; k < s.size; ++k) {
                const std::uint64_t slot = s.point_indices[k];
                if (slot >= ps.capacity) inconsistent("a sampler names point " + std::to_string(slot) + " beyond the point store");
                if (slot >= held_rows_) inconsistent("point " + std::to_string(slot) + " is occupied beyond next_free");
                ++ps.ref_count[slot];
            }
        ps.occupied.assign(held_rows_, 0);
        ps.size = 0;
        for (std::uint64_t slot = 0; slot < held_rows_; ++slot) {
            ps.occupied[slot] = ps.ref_count[slot] > 0;
            ps.size += ps.occupied[slot];
        }
    }

    void read_tree(rcf::Forest& f, std::size_t t) {
        rcf::RcfTree& tree = f.trees[t];
        rcf::NodeArena& arena = tree.arena;
        const rcf::PointStore& ps = f.point_store;
        const std::string name = "tree " + std::to_string(t);
        read_rng(r_, tree.rng);
        tree.dims = dims_;
        arena.dims = dims_;
        const std::uint64_t slots = r_.var();
        const std::uint64_t vacant = r_.count(r_.var(), 8, "free slots");
        if (slots < vacant) inconsistent(name + " has more free slots than slots");
        // A tree holds at most capacity leaves, so fewer than 2 * capacity
        // nodes; the reader allocates no more than that.
        if (slots - vacant > 2 * capacity_) inconsistent(name + " has more nodes than its capacity allows");
        if (slots > Node::kMaxSlots) inconsistent(name + " has more than 2^32 - 1 node slots");
        arena.free.resize(vacant);
        for (std::uint64_t& s : arena.free) s = r_.var();

        // The shape: pre-order, a kind bit, the slot and an internal node's
        // cut dimension. `open` holds the internal nodes whose right child
        // comes next once their left subtree is complete.
        BitReader shape(r_);
        const unsigned slot_bits = binary::width_below(slots);
        const unsigned dim_bits = binary::width_below(dims_);
        if (slots - vacant > shape.bits_left() / (1 + slot_bits)) r_.fail("declared count of nodes exceeds the data");
        arena.nodes.assign(slots, Node{});
        order_.clear();
        open_.clear();
        std::uint64_t internal_count = 0;
        std::uint64_t parent = kNone;  // the node whose child comes next
        bool left_side = true;
        const std::uint64_t live = slots - vacant;
        tree.root = kNone;
        while (order_.size() < live) {
            const bool internal = shape.get(1) == 1;
            const std::uint64_t s = shape.get(slot_bits);
            if (s >= slots) inconsistent(name + " shape names slot " + std::to_string(s) + " beyond the arena");
            Node& n = arena.nodes[s];
            if (n.kind != NodeKind::Vacant) inconsistent(name + " node " + std::to_string(s) + " is reached twice");
            if (internal) {
                const std::uint64_t cut_dim = shape.get(dim_bits);
                if (cut_dim >= dims_) inconsistent(name + " node " + std::to_string(s) + " cuts a dimension beyond the point");
                n = Node::Internal(0, 0, cut_dim, 0.0f, 0);
                ++internal_count;
            } else {
                n = Node::Leaf(0, 0);
            }
            if (order_.empty()) {
                tree.root = s;
            } else if (parent == kNone) {
                inconsistent(name + " has nodes that are not reached from the root");
            } else if (left_side) {
                arena.nodes[parent].set_left(s);
            } else {
                arena.nodes[parent].set_right(s);
            }
            order_.push_back(s);
            if (internal) {
                open_.push_back(s);
                parent = s;
                left_side = true;
            } else if (open_.empty()) {
                parent = kNone;
            } else {
                parent = open_.back();
                open_.pop_back();
                left_side = false;
            }
        }
        if (parent != kNone) inconsistent(name + " shape ends inside the tree");

        r_.count(internal_count, 32, "cut values");
        for (std::uint64_t s : order_) {
            Node& n = arena.nodes[s];
            if (n.kind == NodeKind::Internal) {
                n.cut_val = r_.f32();
            } else {
                const std::uint64_t point = r_.var();
                if (point >= ps.capacity) inconsistent(name + " node " + std::to_string(s) + " names point beyond the point store");
                // Its sampler holds only rows that the store holds.
                if (point >= held_rows_ || point > Node::kMax32)
                    inconsistent(name + " node " + std::to_string(s) + " stands for point " + std::to_string(point) +
                                 ", which the tree's sampler does not hold");
                n.set_point_idx(point);
                const std::uint64_t extra = r_.var();
                if (extra >= Node::kMaxMass)
                    inconsistent(name + " node " + std::to_string(s) + " has mass beyond 2^32 - 1");
                n.mass = static_cast<std::uint32_t>(extra + 1);
            }
        }

        // Box rows in slot order, as the document reader lays them down.
        const std::uint64_t stride = arena.row_stride();
        arena.boxes.assign(internal_count * stride, 0.0f);
        arena.box_free.clear();
        std::uint64_t row = 0;
        for (Node& n : arena.nodes)
            if (n.kind == NodeKind::Internal) n.set_box_row(row++);

        const std::uint64_t entry_count = r_.count(r_.var(), 48, "box exceptions");
        std::uint64_t entries_left = entry_count;
        std::uint64_t next_entry = entries_left > 0 ? r_.var() : kNone;
        const std::uint64_t d = dims_;
        // Children before parents (pre-order backwards), the order in which
        // the writer listed the exceptions. An exception may only change
        // the sign of a zero: anything else is not the union of the
        // children's boxes.
        for (std::size_t i = order_.size(); i-- > 0;) {
            Node& n = arena.nodes[order_[i]];
            if (n.kind != NodeKind::Internal) continue;
            const Node& l = arena.nodes[n.left];
            const Node& rgt = arena.nodes[n.right];
            if (l.mass > Node::kMaxMass - rgt.mass) inconsistent(name + " masses exceed 2^32 - 1");
            n.mass = l.mass + rgt.mass;
            const BoxRef a = box_of(arena, ps, n.left), b = box_of(arena, ps, n.right);
            float* mn = arena.row_min(n.box_row());
            float* mx = arena.row_max(n.box_row());
            for (std::uint64_t k = 0; k < d; ++k) {
                mn[k] = rcf::min_num(a.min[k], b.min[k]);
                mx[k] = rcf::max_num(a.max[k], b.max[k]);
            }
            while (next_entry == i) {
                const std::uint64_t k = r_.var();
                if (k >= 2 * d) r_.fail("box exception beyond the box");
                float& entry = k < d ? mn[k] : mx[k - d];
                const float v = r_.f32();
                if (!(v == entry))
                    inconsistent(name + " node " + std::to_string(order_[i]) +
                                 " has a bounding box that is not the union of its children's");
                entry = v;
                --entries_left;
                next_entry = entries_left > 0 ? r_.var() : kNone;
            }
            if (next_entry != kNone && next_entry > i) r_.fail("box exceptions out of order");
            arena.set_row_range_sum(n.box_row(), range_sum_of(mn, mx, d));
        }
        if (entries_left > 0) r_.fail("box exception for a node that is not internal");
        const std::uint64_t sum_count = r_.count(r_.var(), 72, "range sum exceptions");
        for (std::uint64_t e = 0; e < sum_count; ++e) {
            const std::uint64_t i = r_.var();
            if (i >= order_.size() || arena.nodes[order_[i]].kind != NodeKind::Internal)
                r_.fail("range sum exception for a node that is not internal");
            const std::uint64_t box_row = arena.nodes[order_[i]].box_row();
            const double v = r_.f64();
            if (!(v == arena.row_range_sum(box_row)))
                inconsistent(name + " node " + std::to_string(order_[i]) + " has a range sum that its box does not give");
            arena.set_row_range_sum(box_row, v);
        }
        tree.tree_mass = tree.root == kNone ? 0 : arena.nodes[tree.root].mass;
    }

    ByteReader& r_;
    std::uint64_t dims_ = 0;
    std::uint64_t config_rows_ = 0;
    std::uint64_t capacity_ = 0;
    std::uint64_t held_rows_ = 0;
    std::vector<std::uint64_t> order_, open_;
};

}  // namespace

void write_forest_payload(ByteWriter& w, const rcf::Forest& f) {
    binary::write_record<rcf::RcfConfig>(w, f.config);
    w.var(f.entries_seen);
    write_rng(w, f.rng);
    write_point_store(w, f.point_store);
    for (const rcf::Sampler& s : f.samplers) write_sampler(w, s);
    std::vector<std::uint64_t> order, stack;
    std::vector<float> merged;
    for (const rcf::RcfTree& t : f.trees) write_tree(w, t, f.point_store, order, stack, merged);
}

void read_forest_payload(ByteReader& r, rcf::Forest& f) { ForestReader(r).run(f); }

}  // namespace arbolet::persist
