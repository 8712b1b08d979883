// The Forest state document, written and read from the descriptions of its
// records; here are the values that are no plain member.
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "common/debug_text.hpp"
#include "common/internal_failure.hpp"
#include "persist/documents.hpp"
#include "persist/forest_records.hpp"
#include "persist/json_records.hpp"
#include "persist/validate.hpp"

namespace arbolet::persist {

namespace {

using rcf::Node;
using rcf::NodeKind;

// ---- writing -------------------------------------------------------------------

using record::Special;
namespace ft = forest_tags;

// The values of the Forest's records that are no plain member.
class DocumentWriter {
public:
    void write(JsonWriter& w, Special<ft::Trees>, const rcf::Forest& f) {
        store_ = &f.point_store;
        w.ch('[');
        for (std::size_t i = 0; i < f.trees.size(); ++i) {
            if (i != 0) w.ch(',');
            json::write_record<rcf::RcfTree>(w, f.trees[i], *this);
        }
        w.ch(']');
    }

    void write(JsonWriter& w, Special<ft::Nodes>, const rcf::NodeArena& arena) {
        arena_ = &arena;
        w.ch('[');
        for (std::size_t slot = 0; slot < arena.nodes.size(); ++slot) {
            if (slot != 0) w.ch(',');
            const Node& n = arena.nodes[slot];
            switch (n.kind) {
                case NodeKind::Vacant:
                    w.null();
                    break;
                case NodeKind::Leaf:
                    w.raw("{\"Leaf\":");
                    json::write_record<LeafVariant>(w, n, *this);
                    w.ch('}');
                    break;
                case NodeKind::Internal:
                    box_range_ = arena.compute_box(slot, *store_, box_.box(0, arena.dims), box_.stack);
                    w.raw("{\"Internal\":");
                    json::write_record<InternalVariant>(w, n, *this);
                    w.ch('}');
                    break;
            }
        }
        w.ch(']');
    }

    void write(JsonWriter& w, Special<ft::LeftChild>, const Node& n) { w.u64(n.left); }
    void write(JsonWriter& w, Special<ft::RightChild>, const Node& n) { w.u64(n.right); }
    void write(JsonWriter& w, Special<ft::CutDim>, const Node& n) { w.u64(n.cut_dim()); }
    void write(JsonWriter& w, Special<ft::PointIdx>, const Node& n) { w.u64(n.point_idx()); }
    void write(JsonWriter& w, Special<ft::Mass>, const Node& n) { w.u64(n.mass); }
    void write(JsonWriter& w, Special<ft::Box>, const Node& n) { json::write_record<BoxRecord>(w, n, *this); }
    // The node's box, kept or rebuilt (taken when the node is written).
    void write(JsonWriter& w, Special<ft::BoxMin>, const Node&) {
        w.list(std::span<const float>(box_.box(0, arena_->dims), arena_->dims));
    }
    void write(JsonWriter& w, Special<ft::BoxMax>, const Node&) {
        w.list(std::span<const float>(box_.box(0, arena_->dims) + arena_->dims, arena_->dims));
    }
    void write(JsonWriter& w, Special<ft::BoxRangeSum>, const Node&) { w.f64(box_range_); }

    // A sampler's and a point store's tables hold the entries in use; the
    // rest are unused ones: weight +0.0 and point none; zeros, not
    // occupied, no references.
    void write(JsonWriter& w, Special<ft::Weights>, const rcf::Sampler& s) {
        w.list(std::span<const double>(s.weights), s.capacity - s.weights.size(), 0.0);
    }
    void write(JsonWriter& w, Special<ft::PointIndices>, const rcf::Sampler& s) {
        w.list(std::span<const std::uint64_t>(s.point_indices), s.capacity - s.point_indices.size(), rcf::kNone);
    }
    void write(JsonWriter& w, Special<ft::Store>, const rcf::PointStore& ps) {
        w.raw("{\"v\":1,\"dim\":");
        w.list(ps.store.dim);
        w.raw(",\"data\":");
        w.list(std::span<const float>(ps.store.data), (ps.capacity - ps.held_rows()) * ps.dim, 0.0f);
        w.ch('}');
    }
    void write(JsonWriter& w, Special<ft::Occupied>, const rcf::PointStore& ps) {
        w.ch('[');
        for (std::uint64_t i = 0; i < ps.capacity; ++i) {
            if (i != 0) w.ch(',');
            w.boolean(i < ps.held_rows() && ps.occupied[i] != 0);
        }
        w.ch(']');
    }
    void write(JsonWriter& w, Special<ft::RefCount>, const rcf::PointStore& ps) {
        w.list(std::span<const std::uint64_t>(ps.ref_count), ps.capacity - ps.held_rows(), std::uint64_t{0});
    }

private:
    const rcf::NodeArena* arena_ = nullptr;
    const rcf::PointStore* store_ = nullptr;
    rcf::BoxWork box_;
    double box_range_ = 0.0;
};

std::size_t expected_size(const rcf::Forest& f) {
    const rcf::PointStore& ps = f.point_store;
    std::size_t values = (ps.dim + 3) * ps.capacity;
    for (const rcf::RcfTree& t : f.trees) values += t.arena.nodes.size() * 8 + t.arena.boxes.size();
    for (const rcf::Sampler& s : f.samplers) values += 2 * s.capacity;
    return 1024 + values * 12;
}

// ---- reading -------------------------------------------------------------------

using json::Reader;

constexpr const char* kUsize = "usize";
constexpr const char* kSeq = "a sequence";

class ForestDecoder {
public:
    explicit ForestDecoder(std::string_view text) : r_(text) {}

    Result<rcf::Forest> run() {
        rcf::Forest forest;
        try {
            json::read_record<rcf::Forest>(r_, forest, *this);
            r_.finish();
        } catch (json::Positioned& e) {
            return EngineError::io(r_.describe(e));
        } catch (json::Unpositioned& e) {
            return EngineError::io(r_.describe(json::Positioned{e.message, 0}));
        }
        if (!deferred_.empty()) return EngineError::io(deferred_);
        std::string problem = find_forest_inconsistency(forest);
        if (!problem.empty()) return EngineError::io(problem);
        // A document lists every box; the forest keeps those it asks for.
        forest.set_box_min_points(rcf::kDefaultBoxMinPoints);
        return forest;
    }

    void read(Reader& r, Special<ft::Trees>, rcf::Forest& f) {
        r.read_seq(kSeq, [&] {
            f.trees.emplace_back();
            read_tree(f.trees.back(), f.trees.size() - 1);
        });
    }

    void read(Reader& r, Special<ft::Nodes>, rcf::NodeArena& a) {
        a.nodes.clear();
        a.boxes.clear();
        a.box_free.clear();
        box_rows_ = 0;
        r.read_seq(kSeq, [&] {
            if (a.nodes.size() == Node::kMaxSlots && deferred_.empty())
                deferred_ = "inconsistent state: tree " + std::to_string(tree_index_) +
                            " has more than 2^32 - 1 node slots";
            a.nodes.emplace_back();
            if (!r.take_null()) read_node(a, a.nodes.size() - 1);
        });
    }

    // Child slots, point rows and masses are held in 32 bits, cut dimensions
    // in 24: a wider value cannot name anything that exists, so the load is
    // refused (after the parse, like the other inconsistencies) instead of
    // wrapping it.
    void read(Reader& r, Special<ft::LeftChild>, Node& n) {
        n.left = index32(r.read_unsigned(kUsize), "names child ", " beyond the arena");
    }
    void read(Reader& r, Special<ft::RightChild>, Node& n) {
        n.right = index32(r.read_unsigned(kUsize), "names child ", " beyond the arena");
    }
    void read(Reader& r, Special<ft::CutDim>, Node& n) {
        n.set_cut_dim(index32(r.read_unsigned(kUsize), "cuts dimension ", " beyond the point length", Node::kMaxCutDim));
    }
    void read(Reader& r, Special<ft::PointIdx>, Node& n) {
        n.set_point_idx(index32(r.read_unsigned(kUsize), "names point ", " beyond the point store"));
    }
    void read(Reader& r, Special<ft::Mass>, Node& n) {
        n.mass = index32(r.read_unsigned(kUsize), "has mass ", " beyond 2^32 - 1");
    }

    // Boxes of internal nodes become the arena's box rows in slot order,
    // laid down as one row (minima, maxima, range sum); the row has the
    // arena's stride whenever both lengths match the tree's dims, which may
    // come later in its record, so the lengths are checked afterwards and a
    // box of the wrong length fails the load.
    void read(Reader& r, Special<ft::Box>, Node& n) {
        box_min_.clear();
        box_max_.clear();
        box_lengths_.push_back(BoxLengths{slot_, 0, 0});
        range_sum_ = 0.0;
        json::read_record<BoxRecord>(r, n, *this);
        // Rows are numbered in 32 bits; a row beyond that stays unnumbered
        // (kNoBox) and the slot check refuses the document first.
        if (box_rows_ < Node::kNoBox) n.set_box_row(box_rows_);
        ++box_rows_;
        rcf::NodeArena& a = *arena_;
        a.boxes.insert(a.boxes.end(), box_min_.begin(), box_min_.end());
        a.boxes.insert(a.boxes.end(), box_max_.begin(), box_max_.end());
        float sum_bits[2];
        std::memcpy(sum_bits, &range_sum_, sizeof range_sum_);
        a.boxes.insert(a.boxes.end(), sum_bits, sum_bits + 2);
    }
    void read(Reader& r, Special<ft::BoxMin>, Node&) {
        r.read_seq(kSeq, [&] { box_min_.push_back(r.read_f32()); });
        box_lengths_.back().min = box_min_.size();
    }
    void read(Reader& r, Special<ft::BoxMax>, Node&) {
        r.read_seq(kSeq, [&] { box_max_.push_back(r.read_f32()); });
        box_lengths_.back().max = box_max_.size();
    }
    // A box wider than the single-precision range has an infinite range
    // sum, written as null; it reads back as that infinity so that such a
    // forest survives a round trip.
    void read(Reader& r, Special<ft::BoxRangeSum>, Node&) {
        range_sum_ = r.read_f64_or_null(std::numeric_limits<double>::infinity());
    }

    void read(Reader& r, Special<ft::Weights>, rcf::Sampler& s) {
        json::read_value(r, record::ListOf<record::F64>{}, s.weights, *this);
    }
    void read(Reader& r, Special<ft::PointIndices>, rcf::Sampler& s) {
        json::read_value(r, record::ListOf<record::Usize>{}, s.point_indices, *this);
    }
    void read(Reader& r, Special<ft::Store>, rcf::PointStore& ps) {
        json::read_value(r, record::Array<record::F32, 2>{}, ps.store, *this);
    }
    void read(Reader& r, Special<ft::Occupied>, rcf::PointStore& ps) {
        ps.occupied.clear();
        r.read_seq(kSeq, [&] { ps.occupied.push_back(r.read_bool() ? 1 : 0); });
    }
    void read(Reader& r, Special<ft::RefCount>, rcf::PointStore& ps) {
        json::read_value(r, record::ListOf<record::Usize>{}, ps.ref_count, *this);
    }

private:
    void read_tree(rcf::RcfTree& t, std::size_t index) {
        box_lengths_.clear();
        tree_index_ = index;
        json::read_record<rcf::RcfTree>(r_, t, *this);
        t.arena.dims = t.dims;
        if (!deferred_.empty()) return;
        for (const BoxLengths& b : box_lengths_) {
            if (b.min != t.dims || b.max != t.dims) {
                deferred_ = "inconsistent state: tree " + std::to_string(index) + " node " + std::to_string(b.slot) +
                            " has a bounding box of " + std::to_string(b.min != t.dims ? b.min : b.max) +
                            " values, expected " + std::to_string(t.dims);
                return;
            }
        }
    }

    void read_node(rcf::NodeArena& a, std::size_t slot) {
        const int c = r_.peek_value();
        if (c == '"') {
            // A bare variant name: a unit variant where a record is needed.
            variant_of(r_.read_string());
            throw json::Unpositioned{"invalid type: unit variant, expected struct variant"};
        }
        if (c < 0) r_.fail_peek("EOF while parsing a value");
        if (c != '{') r_.fail_peek("expected value");
        r_.enter();
        r_.eat();
        const int k = r_.peek_value();
        if (k < 0) r_.fail_peek("EOF while parsing a value");
        if (k != '"') r_.fail_invalid_type("variant identifier");
        const bool leaf = variant_of(r_.read_string());
        r_.colon();
        Node& n = a.nodes[slot];
        arena_ = &a;
        slot_ = slot;
        if (leaf) {
            n.kind = NodeKind::Leaf;
            json::read_record<LeafVariant>(r_, n, *this);
        } else {
            n.kind = NodeKind::Internal;
            n.set_box_row(Node::kNoBox);
            json::read_record<InternalVariant>(r_, n, *this);
        }
        r_.leave();
        const int e = r_.peek_value();
        if (e == '}') {
            r_.eat();
            return;
        }
        r_.fail_here(e < 0 ? "EOF while parsing an object" : "expected value");
    }

    std::uint32_t index32(std::uint64_t v, const char* before, const char* after, std::uint64_t max = Node::kMax32) {
        if (v <= max) return static_cast<std::uint32_t>(v);
        if (deferred_.empty())
            deferred_ = "inconsistent state: tree " + std::to_string(tree_index_) + " node " + std::to_string(slot_) +
                        " " + before + std::to_string(v) + after;
        return 0;
    }

    // True for Leaf, false for Internal.
    bool variant_of(std::string_view name) {
        if (name == "Leaf") return true;
        if (name == "Internal") return false;
        r_.fail_here("unknown variant `" + bounded_text(name) + "`, expected `Internal` or `Leaf`");
    }

    struct BoxLengths {
        std::uint64_t slot, min, max;
    };

    Reader r_;
    std::vector<BoxLengths> box_lengths_;
    std::vector<float> box_min_, box_max_;
    double range_sum_ = 0.0;
    std::uint64_t box_rows_ = 0;
    std::size_t tree_index_ = 0;
    std::size_t slot_ = 0;
    rcf::NodeArena* arena_ = nullptr;
    std::string deferred_;
};

}  // namespace

std::string forest_to_json(const rcf::Forest& f) {
    JsonWriter w(expected_size(f));
    DocumentWriter codec;
    json::write_record<rcf::Forest>(w, f, codec);
    return std::move(w).take();
}

Result<rcf::Forest> forest_from_json(std::string_view text) { return ForestDecoder(text).run(); }

}  // namespace arbolet::persist
