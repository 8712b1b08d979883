// The Forest state document.
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "common/debug_text.hpp"
#include "common/internal_failure.hpp"
#include "persist/documents.hpp"
#include "persist/json_reader.hpp"
#include "persist/json_writer.hpp"
#include "persist/matrix_reader.hpp"
#include "persist/validate.hpp"

namespace arbolet::persist {

namespace {

using rcf::Node;
using rcf::NodeKind;

// ---- writing -------------------------------------------------------------------

void write_rng(JsonWriter& w, const Xoshiro256PlusPlus& rng) {
    w.raw("{\"s\":[");
    for (std::size_t i = 0; i < 4; ++i) {
        if (i != 0) w.ch(',');
        w.u64(rng.s[i]);
    }
    w.raw("]}");
}

void write_tree(JsonWriter& w, const rcf::RcfTree& tree) {
    const rcf::NodeArena& arena = tree.arena;
    const std::uint64_t d = arena.dims;
    w.raw("{\"root\":");
    w.u64(tree.root);
    w.raw(",\"tree_mass\":");
    w.u64(tree.tree_mass);
    w.raw(",\"arena\":{\"nodes\":[");
    for (std::size_t slot = 0; slot < arena.nodes.size(); ++slot) {
        if (slot != 0) w.ch(',');
        const Node& n = arena.nodes[slot];
        switch (n.kind) {
            case NodeKind::Vacant:
                w.null();
                break;
            case NodeKind::Leaf:
                w.raw("{\"Leaf\":{\"point_idx\":");
                w.u64(n.point_idx());
                w.raw(",\"mass\":");
                w.u64(n.mass);
                w.raw("}}");
                break;
            case NodeKind::Internal: {
                if (n.box_row() >= arena.box_row_count()) fail("internal node without a bounding box");
                const std::uint64_t row = n.box_row();
                w.raw("{\"Internal\":{\"left\":");
                w.u64(n.left);
                w.raw(",\"right\":");
                w.u64(n.right);
                w.raw(",\"cut_dim\":");
                w.u64(n.cut_dim());
                w.raw(",\"cut_val\":");
                w.f32(n.cut_val);
                w.raw(",\"mass\":");
                w.u64(n.mass);
                w.raw(",\"bbox\":{\"min\":");
                w.list(std::span<const float>(arena.row_min(row), d));
                w.raw(",\"max\":");
                w.list(std::span<const float>(arena.row_max(row), d));
                w.raw(",\"range_sum\":");
                w.f64(arena.row_range_sum(row));
                w.raw("}}}");
                break;
            }
        }
    }
    w.raw("],\"free\":");
    w.list(arena.free);
    w.raw("},\"rng\":");
    write_rng(w, tree.rng);
    w.raw(",\"dims\":");
    w.u64(tree.dims);
    w.ch('}');
}

void write_sampler(JsonWriter& w, const rcf::Sampler& s) {
    w.raw("{\"capacity\":");
    w.u64(s.capacity);
    const std::uint64_t unused = s.capacity - s.weights.size();
    w.raw(",\"weights\":");
    w.list(std::span<const double>(s.weights), unused, 0.0);
    w.raw(",\"point_indices\":");
    w.list(std::span<const std::uint64_t>(s.point_indices), unused, rcf::kNone);
    w.raw(",\"size\":");
    w.u64(s.size);
    w.raw(",\"pending_weight\":");
    w.f64(s.pending_weight);
    w.raw(",\"pending_point\":");
    w.u64(s.pending_point);
    w.ch('}');
}

void write_point_store(JsonWriter& w, const rcf::PointStore& ps) {
    w.raw("{\"dim\":");
    w.u64(ps.dim);
    w.raw(",\"input_dim\":");
    w.u64(ps.input_dim);
    w.raw(",\"shingle_size\":");
    w.u64(ps.shingle_size);
    w.raw(",\"internal_shingling\":");
    w.boolean(ps.internal_shingling);
    // Rows past those held are unused: zeros, not occupied, no references.
    const std::uint64_t unused = ps.capacity - ps.held_rows();
    w.raw(",\"store\":{\"v\":1,\"dim\":");
    w.list(ps.store.dim);
    w.raw(",\"data\":");
    w.list(std::span<const float>(ps.store.data), unused * ps.dim, 0.0f);
    w.raw("},\"occupied\":[");
    for (std::uint64_t i = 0; i < ps.capacity; ++i) {
        if (i != 0) w.ch(',');
        w.boolean(i < ps.held_rows() && ps.occupied[i] != 0);
    }
    w.raw("],\"ref_count\":");
    w.list(std::span<const std::uint64_t>(ps.ref_count), unused, std::uint64_t{0});
    w.raw(",\"next_free\":");
    w.u64(ps.next_free);
    w.raw(",\"free_list\":");
    w.list(ps.free_list);
    w.raw(",\"size\":");
    w.u64(ps.size);
    w.raw(",\"capacity\":");
    w.u64(ps.capacity);
    w.raw(",\"shingle_buf\":");
    w.list(ps.shingle_buf);
    w.raw(",\"entries_seen\":");
    w.u64(ps.entries_seen);
    w.ch('}');
}

std::size_t expected_size(const rcf::Forest& f) {
    const rcf::PointStore& ps = f.point_store;
    std::size_t values = (ps.dim + 3) * ps.capacity;
    for (const rcf::RcfTree& t : f.trees) values += t.arena.nodes.size() * 8 + t.arena.boxes.size();
    for (const rcf::Sampler& s : f.samplers) values += 2 * s.capacity;
    return 1024 + values * 12;
}

// ---- reading -------------------------------------------------------------------

using json::Reader;
using json::RecordSpec;

const RecordSpec kForest{"struct Forest", "struct Forest with 6 elements",
                         {"config", "trees", "samplers", "point_store", "entries_seen", "rng"}};
const RecordSpec kConfig{"struct RcfConfig", "struct RcfConfig with 8 elements",
                         {"input_dim", "shingle_size", "capacity", "num_trees", "time_decay", "output_after",
                          "internal_shingling", "initial_accept_fraction"}};
const RecordSpec kTree{"struct RcfTree", "struct RcfTree with 5 elements",
                       {"root", "tree_mass", "arena", "rng", "dims"}};
const RecordSpec kArena{"struct NodeArena", "struct NodeArena with 2 elements", {"nodes", "free"}};
const RecordSpec kLeaf{"struct variant Node::Leaf", "struct variant Node::Leaf with 2 elements",
                       {"point_idx", "mass"}};
const RecordSpec kInternal{"struct variant Node::Internal", "struct variant Node::Internal with 6 elements",
                           {"left", "right", "cut_dim", "cut_val", "mass", "bbox"}};
const RecordSpec kBox{"struct BoundingBox", "struct BoundingBox with 3 elements", {"min", "max", "range_sum"}};
const RecordSpec kRng{"struct Xoshiro256PlusPlus", "struct Xoshiro256PlusPlus with 1 element", {"s"}};
const RecordSpec kSampler{"struct Sampler", "struct Sampler with 6 elements",
                          {"capacity", "weights", "point_indices", "size", "pending_weight", "pending_point"}};
const RecordSpec kPointStore{"struct PointStore", "struct PointStore with 13 elements",
                             {"dim", "input_dim", "shingle_size", "internal_shingling", "store", "occupied",
                              "ref_count", "next_free", "free_list", "size", "capacity", "shingle_buf",
                              "entries_seen"}};

constexpr const char* kUsize = "usize";
constexpr const char* kU64 = "u64";
constexpr const char* kSeq = "a sequence";

void read_rng(Reader& r, Xoshiro256PlusPlus& rng) {
    r.read_record(kRng, [&](int) {
        r.read_fixed(4, "an array of length 4", [&](std::size_t i) { rng.s[i] = r.read_unsigned(kU64); });
    });
}

template <class T>
void read_list(Reader& r, std::vector<T>& out, const char* expecting) {
    out.clear();
    r.read_seq(kSeq, [&] { out.push_back(r.read_unsigned(expecting)); });
}

void read_floats(Reader& r, std::vector<float>& out) {
    out.clear();
    r.read_seq(kSeq, [&] { out.push_back(r.read_f32()); });
}

class ForestDecoder {
public:
    explicit ForestDecoder(std::string_view text) : r_(text) {}

    Result<rcf::Forest> run() {
        rcf::Forest forest;
        try {
            read_forest(forest);
            r_.finish();
        } catch (json::Positioned& e) {
            return EngineError::io(r_.describe(e));
        } catch (json::Unpositioned& e) {
            return EngineError::io(r_.describe(json::Positioned{e.message, 0}));
        }
        if (!deferred_.empty()) return EngineError::io(deferred_);
        std::string problem = find_forest_inconsistency(forest);
        if (!problem.empty()) return EngineError::io(problem);
        return forest;
    }

private:
    void read_forest(rcf::Forest& f) {
        r_.read_record(kForest, [&](int i) {
            switch (i) {
                case 0: read_config(f.config); break;
                case 1:
                    r_.read_seq(kSeq, [&] {
                        f.trees.emplace_back();
                        read_tree(f.trees.back(), f.trees.size() - 1);
                    });
                    break;
                case 2:
                    r_.read_seq(kSeq, [&] {
                        f.samplers.emplace_back();
                        read_sampler(f.samplers.back());
                    });
                    break;
                case 3: read_point_store(f.point_store); break;
                case 4: f.entries_seen = r_.read_unsigned(kU64); break;
                case 5: read_rng(r_, f.rng); break;
            }
        });
    }

    void read_config(rcf::RcfConfig& c) {
        r_.read_record(kConfig, [&](int i) {
            switch (i) {
                case 0: c.input_dim = r_.read_unsigned(kUsize); break;
                case 1: c.shingle_size = r_.read_unsigned(kUsize); break;
                case 2: c.capacity = r_.read_unsigned(kUsize); break;
                case 3: c.num_trees = r_.read_unsigned(kUsize); break;
                case 4: c.time_decay = r_.read_f64(); break;
                case 5: c.output_after = r_.read_unsigned(kUsize); break;
                case 6: c.internal_shingling = r_.read_bool(); break;
                case 7: c.initial_accept_fraction = r_.read_f64(); break;
            }
        });
    }

    // Boxes of internal nodes become the arena's box rows in slot order; the
    // tree's dims may come later in the record, so the row lengths are
    // checked against it afterwards, and a box of the wrong length fails the
    // load.
    void read_tree(rcf::RcfTree& t, std::size_t index) {
        box_lengths_.clear();
        tree_index_ = index;
        r_.read_record(kTree, [&](int i) {
            switch (i) {
                case 0: t.root = r_.read_unsigned(kUsize); break;
                case 1: t.tree_mass = r_.read_unsigned(kUsize); break;
                case 2: read_arena(t.arena); break;
                case 3: read_rng(r_, t.rng); break;
                case 4: t.dims = r_.read_unsigned(kUsize); break;
            }
        });
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

    void read_arena(rcf::NodeArena& a) {
        r_.read_record(kArena, [&](int i) {
            if (i == 0) {
                a.nodes.clear();
                a.boxes.clear();
                a.box_free.clear();
                box_rows_ = 0;
                r_.read_seq(kSeq, [&] {
                    if (a.nodes.size() == Node::kMaxSlots && deferred_.empty())
                        deferred_ = "inconsistent state: tree " + std::to_string(tree_index_) +
                                    " has more than 2^32 - 1 node slots";
                    a.nodes.emplace_back();
                    if (!r_.take_null()) read_node(a, a.nodes.size() - 1);
                });
            } else {
                read_list(r_, a.free, kUsize);
            }
        });
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
        if (leaf) {
            n.kind = NodeKind::Leaf;
            r_.read_record(kLeaf, [&](int i) {
                if (i == 0)
                    n.set_point_idx(r_.read_unsigned(kUsize));
                else
                    n.mass = r_.read_unsigned(kUsize);
            });
        } else {
            n.kind = NodeKind::Internal;
            n.set_box_row(Node::kNoBox);
            r_.read_record(kInternal, [&](int i) {
                switch (i) {
                    case 0: n.left = index32(r_.read_unsigned(kUsize), slot, "names child ", " beyond the arena"); break;
                    case 1: n.right = index32(r_.read_unsigned(kUsize), slot, "names child ", " beyond the arena"); break;
                    case 2:
                        n.set_cut_dim(index32(r_.read_unsigned(kUsize), slot, "cuts dimension ", " beyond the point length"));
                        break;
                    case 3: n.cut_val = r_.read_f32(); break;
                    case 4: n.mass = r_.read_unsigned(kUsize); break;
                    case 5: read_box(a, slot); break;
                }
            });
        }
        r_.leave();
        const int e = r_.peek_value();
        if (e == '}') {
            r_.eat();
            return;
        }
        r_.fail_here(e < 0 ? "EOF while parsing an object" : "expected value");
    }

    // Child slots and cut dimensions are held in 32 bits: a wider value
    // cannot name anything that exists, so the load is refused (after the
    // parse, like the other inconsistencies) instead of wrapping it.
    std::uint32_t index32(std::uint64_t v, std::size_t slot, const char* before, const char* after) {
        if (v <= Node::kMax32) return static_cast<std::uint32_t>(v);
        if (deferred_.empty())
            deferred_ = "inconsistent state: tree " + std::to_string(tree_index_) + " node " + std::to_string(slot) +
                        " " + before + std::to_string(v) + after;
        return 0;
    }

    // True for Leaf, false for Internal.
    bool variant_of(std::string_view name) {
        if (name == "Leaf") return true;
        if (name == "Internal") return false;
        r_.fail_here("unknown variant `" + bounded_text(name) + "`, expected `Internal` or `Leaf`");
    }

    void read_box(rcf::NodeArena& a, std::size_t slot) {
        BoxLengths lengths{slot, 0, 0};
        box_min_.clear();
        box_max_.clear();
        double range_sum = 0.0;
        r_.read_record(kBox, [&](int i) {
            if (i == 0) {
                r_.read_seq(kSeq, [&] { box_min_.push_back(r_.read_f32()); });
                lengths.min = box_min_.size();
            } else if (i == 1) {
                r_.read_seq(kSeq, [&] { box_max_.push_back(r_.read_f32()); });
                lengths.max = box_max_.size();
            } else {
                // A box wider than the single-precision range has an infinite
                // range sum, written as null; it reads back as that infinity
                // so that such a forest survives a round trip.
                range_sum = r_.read_f64_or_null(std::numeric_limits<double>::infinity());
            }
        });
        box_lengths_.push_back(lengths);
        // Laid down as one row (minima, maxima, range sum); the row has the
        // arena's stride whenever both lengths match dims, which the load
        // requires.
        // Rows are numbered in 32 bits; a row beyond that stays unnumbered
        // (kNoBox) and the slot check below refuses the document first.
        if (box_rows_ < Node::kNoBox) a.nodes[slot].set_box_row(box_rows_);
        ++box_rows_;
        a.boxes.insert(a.boxes.end(), box_min_.begin(), box_min_.end());
        a.boxes.insert(a.boxes.end(), box_max_.begin(), box_max_.end());
        float sum_bits[2];
        std::memcpy(sum_bits, &range_sum, sizeof range_sum);
        a.boxes.insert(a.boxes.end(), sum_bits, sum_bits + 2);
    }

    void read_sampler(rcf::Sampler& s) {
        r_.read_record(kSampler, [&](int i) {
            switch (i) {
                case 0: s.capacity = r_.read_unsigned(kUsize); break;
                case 1:
                    s.weights.clear();
                    r_.read_seq(kSeq, [&] { s.weights.push_back(r_.read_f64()); });
                    break;
                case 2: read_list(r_, s.point_indices, kUsize); break;
                case 3: s.size = r_.read_unsigned(kUsize); break;
                case 4: s.pending_weight = r_.read_f64(); break;
                case 5: s.pending_point = r_.read_unsigned(kUsize); break;
            }
        });
    }

    void read_point_store(rcf::PointStore& ps) {
        r_.read_record(kPointStore, [&](int i) {
            switch (i) {
                case 0: ps.dim = r_.read_unsigned(kUsize); break;
                case 1: ps.input_dim = r_.read_unsigned(kUsize); break;
                case 2: ps.shingle_size = r_.read_unsigned(kUsize); break;
                case 3: ps.internal_shingling = r_.read_bool(); break;
                case 4: json::read_matrix<2>(r_, ps.store, [&] { return r_.read_f32(); }); break;
                case 5:
                    ps.occupied.clear();
                    r_.read_seq(kSeq, [&] { ps.occupied.push_back(r_.read_bool() ? 1 : 0); });
                    break;
                case 6: read_list(r_, ps.ref_count, kUsize); break;
                case 7: ps.next_free = r_.read_unsigned(kUsize); break;
                case 8: read_list(r_, ps.free_list, kUsize); break;
                case 9: ps.size = r_.read_unsigned(kUsize); break;
                case 10: ps.capacity = r_.read_unsigned(kUsize); break;
                case 11: read_floats(r_, ps.shingle_buf); break;
                case 12: ps.entries_seen = r_.read_unsigned(kU64); break;
            }
        });
    }

    struct BoxLengths {
        std::uint64_t slot, min, max;
    };

    Reader r_;
    std::vector<BoxLengths> box_lengths_;
    std::vector<float> box_min_, box_max_;
    std::uint64_t box_rows_ = 0;
    std::size_t tree_index_ = 0;
    std::string deferred_;
};

}  // namespace

std::string forest_to_json(const rcf::Forest& f) {
    JsonWriter w(expected_size(f));
    const rcf::RcfConfig& c = f.config;
    w.raw("{\"config\":{\"input_dim\":");
    w.u64(c.input_dim);
    w.raw(",\"shingle_size\":");
    w.u64(c.shingle_size);
    w.raw(",\"capacity\":");
    w.u64(c.capacity);
    w.raw(",\"num_trees\":");
    w.u64(c.num_trees);
    w.raw(",\"time_decay\":");
    w.f64(c.time_decay);
    w.raw(",\"output_after\":");
    w.u64(c.output_after);
    w.raw(",\"internal_shingling\":");
    w.boolean(c.internal_shingling);
    w.raw(",\"initial_accept_fraction\":");
    w.f64(c.initial_accept_fraction);
    w.raw("},\"trees\":[");
    for (std::size_t i = 0; i < f.trees.size(); ++i) {
        if (i != 0) w.ch(',');
        write_tree(w, f.trees[i]);
    }
    w.raw("],\"samplers\":[");
    for (std::size_t i = 0; i < f.samplers.size(); ++i) {
        if (i != 0) w.ch(',');
        write_sampler(w, f.samplers[i]);
    }
    w.raw("],\"point_store\":");
    write_point_store(w, f.point_store);
    w.raw(",\"entries_seen\":");
    w.u64(f.entries_seen);
    w.raw(",\"rng\":");
    write_rng(w, f.rng);
    w.ch('}');
    return std::move(w).take();
}

Result<rcf::Forest> forest_from_json(std::string_view text) { return ForestDecoder(text).run(); }

}  // namespace arbolet::persist
