// Engine-level checks of the update path that the Python surface cannot reach:
// the software logarithm, exact boxes over infinite coordinates, tree
// mechanics, and inconsistent states. Prints "ok" and exits 0 on success.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "common/internal_failure.hpp"
#include "rcf/forest/forest.hpp"

using namespace arbolet;
using namespace arbolet::rcf;

static int failures = 0;
#define CHECK(c)                                                              \
    do {                                                                      \
        if (!(c)) {                                                           \
            std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #c);        \
            ++failures;                                                       \
        }                                                                     \
    } while (0)

static bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
static bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

static Forest make(std::uint64_t dim, std::uint64_t trees, std::uint64_t cap, double decay, std::uint64_t seed) {
    RcfConfig c;
    c.input_dim = dim;
    c.shingle_size = 1;
    c.num_trees = trees;
    c.capacity = cap;
    c.time_decay = decay;
    return std::move(Forest::build(c, seed).value());
}

// Boxes exactly (infinities included; range sums bit for bit, NaN too), masses, and
// every sampler entry descending to a leaf whose mass counts it.
static void check_forest(const Forest& f) {
    const PointStore& ps = f.point_store;
    std::vector<std::uint64_t> refs(ps.capacity, 0);
    for (std::size_t i = 0; i < f.trees.size(); ++i) {
        const RcfTree& t = f.trees[i];
        const Sampler& s = f.samplers[i];
        std::map<std::uint64_t, std::uint64_t> held, reached, leaves;
        // Box rows: one per internal node, never shared, never also free.
        std::map<std::uint64_t, int> rows;
        for (std::uint64_t r : t.arena.box_free) ++rows[r];
        for (std::uint64_t k = 0; k < s.size; ++k) ++refs[s.point_indices[k]], ++held[s.point_indices[k]];
        CHECK(t.tree_mass == s.size);
        if (t.root == kNone) continue;
        std::vector<std::uint64_t> stack{t.root};
        while (!stack.empty()) {
            const std::uint64_t x = stack.back();
            stack.pop_back();
            const Node& n = t.arena.node(x);
            if (n.is_leaf()) {
                CHECK(held.count(n.point_idx()) == 1 && ps.occupied[n.point_idx()]);
                leaves[x] = n.mass;
                continue;
            }
            // A node without a row holds fewer points than keep one.
            if (n.box_row() == Node::kNoBox)
                CHECK(!t.arena.keeps_box(n.mass));
            else
                CHECK(n.box_row() < t.arena.box_row_count() && ++rows[n.box_row()] == 1);
            BoxWork work;
            const auto l = t.arena.box_view(n.left, ps, work, 0), r = t.arena.box_view(n.right, ps, work, 1);
            float* own = work.box(2, t.dims);
            const double own_sum = t.arena.compute_box(x, ps, own, work.stack);
            double sum = 0.0;
            for (std::uint64_t d = 0; d < t.dims; ++d) {
                const float lo = min_num(l.min[d], r.min[d]), hi = max_num(l.max[d], r.max[d]);
                // Equal as numbers: insertion merges the split node's box
                // with the new point whichever side it lands on, so a zero's
                // sign can differ from a left-then-right merge.
                CHECK(lo == own[d] && hi == own[t.dims + d]);
                sum += static_cast<double>(hi - lo);
            }
            CHECK(same_bits(sum, own_sum));
            CHECK(n.mass == t.arena.mass_of(n.left) + t.arena.mass_of(n.right));
            stack.push_back(n.left);
            stack.push_back(n.right);
        }
        TreeScratch scratch;
        for (std::uint64_t k = 0; k < s.size; ++k) ++reached[t.descend(ps.row(s.point_indices[k]), scratch)];
        CHECK(reached == leaves);
    }
    for (std::uint64_t j = 0; j < ps.capacity; ++j) CHECK(refs[j] == (j < ps.held_rows() ? ps.ref_count[j] : 0));
}

static void software_log_values() {
    CHECK(same_bits(software_log(1.0), 0.0));
    const double ln2_hi = 0.6931471803691238, ln2_lo = 1.9082149292705877e-10;
    for (int k : {1, -1, 7, -52, 1023, -1022, -1074, -1060}) {
        // A power of two reduces to m = 1, leaving only the two halves of k ln2.
        const double x = std::ldexp(1.0, k);
        CHECK(same_bits(software_log(x), k * ln2_lo + k * ln2_hi));
    }
    CHECK(software_log(0.0) == -INFINITY && software_log(-0.0) == -INFINITY);
    CHECK(std::isnan(software_log(-1.0)) && std::isnan(software_log(-INFINITY)) && std::isnan(software_log(NAN)));
    CHECK(software_log(INFINITY) == INFINITY);
    std::mt19937_64 mt(1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int beyond = 0;
    for (int i = 0; i < 300000; ++i) {
        double x = i % 3 ? std::ldexp(unit(mt) + 0.5, static_cast<int>(mt() % 2140) - 1090) : unit(mt);
        const double a = software_log(x), b = std::log(x);
        if (a != b && std::fabs(a - b) > std::fabs(std::nextafter(b, INFINITY) - b)) ++beyond;
    }
    CHECK(beyond == 0);
}

// A full sampler rejects the draws below surely_rejected_below without
// computing their weights: each of them must be rejected by its weight too,
// right up to the cut-off, and the cut-off must sit close below the exact
// one, or nothing is saved.
static void rejection_cut_offs() {
    std::mt19937_64 mt(2);
    for (int i = 0; i < 2000; ++i) {
        const double largest = std::ldexp(static_cast<double>(mt() % 100000) / 1000.0 - 60.0, 0);
        const double shift = i % 4 == 0 ? 0.0 : std::ldexp(static_cast<double>(mt() % 1000000), -(i % 20));
        const double below = surely_rejected_below(largest + shift);
        double u = below;
        for (int k = 0; k < 200 && u > 0x1.0p-52; ++k, u = std::nextafter(u, 0.0)) {
            if (u >= below) continue;
            CHECK(!(software_log(-software_log(u)) - shift < largest));
        }
        const double exact = std::exp(-std::exp(largest + shift));
        CHECK(below <= exact && (exact < 0x1.0p-52 || below >= exact * (1.0 - 1e-6)));
    }
    CHECK(surely_rejected_below(NAN) == 0.0 && surely_rejected_below(INFINITY) == 0.0);
    CHECK(surely_rejected_below(-INFINITY) == 0.0);
}

static void next_down_values() {
    CHECK(same_bits(next_down(0.0f), -0x1.0p-149f) && same_bits(next_down(-0.0f), -0x1.0p-149f));
    CHECK(next_down(INFINITY) == 0x1.fffffep+127f && next_down(-INFINITY) == -INFINITY);
    CHECK(std::isnan(next_down(NAN)));
    CHECK(next_down(1.0f) == 0x1.fffffep-1f && next_down(-1.0f) == -0x1.000002p+0f);
}

static void infinite_streams() {
    const float pool[] = {INFINITY, -INFINITY, 3.4028235e38f, -3.4028235e38f, 0.0f, -0.0f, 1.0f};
    for (int variant = 0; variant < 3; ++variant) {
        Forest f = make(3, 4, 10, 0.0, 40 + variant);
        std::mt19937_64 mt(variant);
        for (int i = 0; i < 1500; ++i) {
            std::vector<float> p(3);
            for (auto& v : p) v = pool[mt() % (variant == 0 ? 2 : variant == 1 ? 4 : 7)];
            // update refuses non-finite values; loaded states can still hold
            // them (numbers beyond single precision), so the trees must cope.
            CHECK(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]) ? true : !f.update(p).ok());
            f.entries_seen += 1;
            CHECK(f.offer(p, Workspace::of_this_thread()).ok());
            check_forest(f);
            if (failures) return;
        }
    }
}

static void tree_mechanics() {
    // One dimension: 1.0 next to a leaf at 2.0 cuts in [1.0, 2.0); the
    // second distinct point draws one number, an equal point none.
    Forest f = make(1, 1, 8, 0.0, 3);
    const Xoshiro256PlusPlus start = f.trees[0].rng;
    CHECK(f.update(std::vector<float>{2.0f}).ok());
    CHECK(f.trees[0].rng == start);
    CHECK(f.update(std::vector<float>{1.0f}).ok());
    Xoshiro256PlusPlus one = start;
    one.next_u64();
    CHECK(f.trees[0].rng == one);
    const Node& root = f.trees[0].arena.node(f.trees[0].root);
    CHECK(root.is_internal() && root.cut_val >= 1.0f && root.cut_val < 2.0f);
    CHECK(f.point_store.row(f.trees[0].arena.node(root.left).point_idx())[0] == 1.0f);
    CHECK(f.update(std::vector<float>{1.0f}).ok());
    CHECK(f.trees[0].rng == one && f.trees[0].arena.mass_of(f.trees[0].root) == 3);

    // Deleting a leaf under the root promotes its sibling; the parent's slot
    // is reused first.
    RcfTree& t = f.trees[0];
    TreeScratch scratch;
    const std::uint64_t parent = t.root, leaf2 = root.right;
    CHECK(t.remove(f.point_store, t.arena.node(leaf2).point_idx(), scratch).ok());
    CHECK(t.arena.node(t.root).is_leaf() && t.arena.free.size() == 2);
    CHECK(t.arena.alloc(Node::Leaf(0, 1)) == parent && t.arena.alloc(Node::Leaf(0, 1)) == leaf2);

    NodeArena arena = NodeArena::create(2);
    const std::uint64_t a = arena.alloc(Node::Leaf(0, 1)), b = arena.alloc(Node::Leaf(1, 1));
    arena.free_node(a);
    arena.free_node(b);
    CHECK(arena.alloc(Node::Leaf(2, 1)) == b && arena.alloc(Node::Leaf(3, 1)) == a);
}

template <class F>
static std::string panic_text(F&& fn) {
    try {
        fn();
    } catch (const InternalFailure& e) {
        return e.message();
    }
    return "";
}

// Every index in a node is narrow (child slots, point rows and masses 32
// bits, cut_dim 24, box rows 31): a wider value must fail rather than wrap
// onto a valid slot, row or dimension, and the box row must not disturb the
// flag that shares its word.
static void narrow_node_fields() {
    const std::uint64_t wide = std::uint64_t{1} << 32;
    const std::string msg = "node index does not fit in its field";
    CHECK(panic_text([&] { Node::Internal(wide, 1, 0, 0.0f, 2); }) == msg);
    CHECK(panic_text([&] { Node::Internal(0, wide + 1, 0, 0.0f, 2); }) == msg);
    CHECK(panic_text([&] { Node::Internal(0, 1, Node::kMaxCutDim + 1, 0.0f, 2); }) == msg);
    CHECK(panic_text([&] { Node::Leaf(wide, 1); }) == msg && panic_text([&] { Node::Leaf(0, wide); }) == msg);
    CHECK(panic_text([&] { (void)Node::mass_sum(Node::kMaxMass, 1); }) == msg);
    Node n = Node::Internal(0xFFFFFFFEu, 0xFFFFFFFFu, Node::kMaxCutDim, 1.5f, 2);
    CHECK(n.left == 0xFFFFFFFEu && n.right == 0xFFFFFFFFu && n.cut_dim() == Node::kMaxCutDim);
    CHECK(n.box_row() == Node::kNoBox && !n.box_is_merge());
    n.set_box_row(7);
    n.set_box_is_merge(true);
    CHECK(n.box_row() == 7 && n.box_is_merge() && n.cut_dim() == Node::kMaxCutDim);
    n.set_cut_dim(3);
    n.set_box_row(Node::kNoBox - 1);
    CHECK(n.box_row() == Node::kNoBox - 1 && n.box_is_merge() && n.cut_dim() == 3);
    CHECK(panic_text([&] { n.set_left(wide); }) == msg && n.left == 0xFFFFFFFEu);
    CHECK(panic_text([&] { n.set_box_row(Node::kNoBox + 1); }) == msg && n.box_row() == Node::kNoBox - 1);
    const Node leaf = Node::Leaf(0xFFFFFFFFu, 5);
    CHECK(leaf.point_idx() == 0xFFFFFFFFu && leaf.mass == 5);
}

static void inconsistent_states() {
    const std::vector<float> p{0.5f, 0.5f};
    // A full sampler naming a point its (empty) tree does not hold.
    {
        Forest f = make(2, 1, 1, 0.0, 5);
        f.config.time_decay = -1.0;
        CHECK(f.update(p).ok());
        f.trees[0] = RcfTree::create(2, f.trees[0].rng);
        f.samplers[0].weights[0] = INFINITY;
        Status s = f.update(p);
        CHECK(!s.ok() && s.error().kind == EngineError::Kind::EmptyTree);
        CHECK(f.entries_seen == 2 && f.samplers[0].pending_point != kNone);
    }
    {
        Forest f = make(2, 1, 1, 0.0, 5);
        CHECK(f.update(p).ok());
        f.trees[0].arena.nodes[f.trees[0].root].mass = 0;
        f.samplers[0].weights[0] = INFINITY;
        Status s = f.update(p);
        CHECK(!s.ok() && s.error().text == "leaf mass is already 0");
    }
    // Cycles, dangling children and bad indices stop with an internal failure.
    Forest f = make(2, 1, 8, 0.0, 6);
    for (float v : {0.0f, 1.0f, 2.0f, 3.0f}) CHECK(f.update(std::vector<float>{v, v}).ok());
    Forest cyc = f;
    Node& r = cyc.trees[0].arena.nodes[cyc.trees[0].root];
    r.left = r.right = cyc.trees[0].root;
    CHECK(panic_text([&] { (void)cyc.update(p); }).find("cycle") != std::string::npos);
    Forest dangling = f;
    dangling.trees[0].arena.nodes[dangling.trees[0].root].right = 1000;
    dangling.trees[0].arena.nodes[dangling.trees[0].root].left = 1000;
    CHECK(panic_text([&] { (void)dangling.update(p); }) == "assertion failed: index < dim");
    Forest vacant = f;
    vacant.trees[0].arena.nodes[vacant.trees[0].arena.node(vacant.trees[0].root).left] = Node{};
    vacant.trees[0].arena.nodes[vacant.trees[0].arena.node(vacant.trees[0].root).right] = Node{};
    CHECK(panic_text([&] { (void)vacant.update(p); }) == "accessed freed or uninitialized node");
    Forest bad_dim = f;
    bad_dim.trees[0].arena.nodes[bad_dim.trees[0].root].set_cut_dim(2);
    CHECK(panic_text([&] { (void)bad_dim.update(p); }) == "assertion failed: index < dim");
    Forest bad_slot = f;
    for (auto& n : bad_slot.trees[0].arena.nodes)
        if (n.is_leaf()) n.set_point_idx(Node::kMax32 - 1);  // the farthest row a leaf can name
    CHECK(panic_text([&] { (void)bad_slot.update(p); }) == "assertion failed: index < dim");
    Forest short_sampler = f;
    short_sampler.samplers[0].capacity = 0;
    short_sampler.samplers[0].size = 0;
    short_sampler.samplers[0].weights.clear();
    short_sampler.samplers[0].point_indices.clear();
    CHECK(panic_text([&] { (void)short_sampler.update(p); }) == "assertion failed: index < dim");
}

int main() {
    software_log_values();
    rejection_cut_offs();
    next_down_values();
    tree_mechanics();
    narrow_node_fields();
    inconsistent_states();
    infinite_streams();
    if (failures) return 1;
    std::puts("ok");
    return 0;
}
