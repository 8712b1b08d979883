#include "rcf/forest/forest.hpp"

#include <algorithm>

#include "common/internal_failure.hpp"
#include "common/memory_budget.hpp"

namespace arbolet::rcf {

namespace {

// What a forest takes once every sampler is full, allocated up front or
// while it fills: the point store (rows of `dims` floats, their flags,
// counts and free list), the samplers' weights and slots, and each tree's
// nodes, boxes (one row per internal node) and free lists.
std::uint64_t full_size_bytes(std::uint64_t trees, std::uint64_t capacity, std::uint64_t dims, std::uint64_t rows) {
    const std::uint64_t point_row = saturating_add(saturating_mul(dims, sizeof(float)), 1 + 2 * sizeof(std::uint64_t));
    const std::uint64_t nodes = saturating_add(saturating_mul(capacity, 2), 4);
    const std::uint64_t box_rows = saturating_add(capacity, 3);
    const std::uint64_t box_row = saturating_mul(saturating_add(saturating_mul(dims, 2), 2), sizeof(float));
    std::uint64_t per_tree = saturating_mul(capacity, sizeof(double) + sizeof(std::uint64_t));
    per_tree = saturating_add(per_tree, saturating_mul(nodes, sizeof(Node) + sizeof(std::uint64_t)));
    per_tree = saturating_add(per_tree, saturating_mul(box_rows, saturating_add(box_row, sizeof(std::uint64_t))));
    return saturating_add(saturating_mul(rows, point_row), saturating_mul(trees, per_tree));
}

// The part of the JSON document that every state of a configuration writes,
// whatever it holds: each sampler slot ("0.0," and an index of up to 20
// digits, at least 25 bytes) and each point-store row ("false,", "0," and
// "0.0," per value, at least 8 + 4 * dims bytes). A binary state declares
// its capacity without paying for these (an empty forest of any capacity
// takes about 140 bytes).
std::uint64_t document_floor_bytes(std::uint64_t trees, std::uint64_t capacity, std::uint64_t dims, std::uint64_t rows) {
    const std::uint64_t per_row = saturating_add(8, saturating_mul(dims, 4));
    return saturating_add(saturating_mul(saturating_mul(trees, capacity), 25), saturating_mul(rows, per_row));
}

}  // namespace

Status Forest::check_config(const RcfConfig& args) {
    if (args.input_dim == 0) return EngineError::invalid_argument("input_dim must be > 0");
    if (args.shingle_size == 0) return EngineError::invalid_argument("shingle_size must be > 0");
    if (args.capacity == 0) return EngineError::invalid_argument("capacity must be > 0");
    if (args.num_trees == 0) return EngineError::invalid_argument("num_trees must be > 0");
    if (const char* problem = time_decay_problem(args.time_decay)) return EngineError::invalid_argument(problem);

    // Sizes that cannot be represented are refused before anything is built.
    std::uint64_t dims = 0, samples = 0, rows = 0, cells = 0, twice_capacity = 0;
    if (!checked_mul(args.input_dim, args.shingle_size, dims))
        return EngineError::invalid_argument("input_dim * shingle_size is too large");
    if (!checked_mul(args.num_trees, args.capacity, samples) || !checked_add(samples, 1, rows) ||
        !checked_mul(args.capacity, 2, twice_capacity) || twice_capacity > UINT64_MAX - 4)
        return EngineError::invalid_argument("num_trees * capacity is too large");
    // A node names its cut dimension in 24 bits.
    if (dims > Node::kMaxCutDim) return EngineError::invalid_argument("input_dim * shingle_size must be < 2^24");
    rows = std::max(rows, twice_capacity);
    if (!checked_mul(rows, dims, cells) || cells > UINT64_MAX / sizeof(float))
        return EngineError::invalid_argument("point store size (num_trees * capacity * input_dim * shingle_size) is too large");
    return {};
}

void Forest::check_size(const RcfConfig& args) {
    const std::uint64_t dims = args.input_dim * args.shingle_size;
    const std::uint64_t rows = std::max(args.num_trees * args.capacity + 1, args.capacity * 2);
    // The same bound for building and for loading: the full forest and the
    // least JSON document of its configuration must fit in memory together,
    // so that whatever is accepted can also be saved as a document.
    check_memory("Forest", saturating_add(full_size_bytes(args.num_trees, args.capacity, dims, rows),
                                          document_floor_bytes(args.num_trees, args.capacity, dims, rows)));
}

Result<Forest> Forest::build(const RcfConfig& args, std::optional<std::uint64_t> seed) {
    const std::uint64_t master_seed = seed ? *seed : Xoshiro256PlusPlus::from_os_random().next_u64();

    Status valid = check_config(args);
    if (!valid) return valid.take_error();
    // check_config has shown that none of these products wraps.
    const std::uint64_t dims = args.input_dim * args.shingle_size;
    const std::uint64_t rows = std::max(args.num_trees * args.capacity + 1, args.capacity * 2);
    check_size(args);

    Forest forest;
    forest.config = args;
    forest.config.initial_accept_fraction = 0.125;

    Xoshiro256PlusPlus master = Xoshiro256PlusPlus::seeded(master_seed);
    forest.trees.reserve(args.num_trees);
    for (std::uint64_t i = 0; i < args.num_trees; ++i)
        forest.trees.push_back(RcfTree::create(dims, Xoshiro256PlusPlus::seeded(master.next_u64())));
    forest.samplers.reserve(args.num_trees);
    for (std::uint64_t i = 0; i < args.num_trees; ++i) forest.samplers.push_back(Sampler::create(args.capacity));
    forest.point_store = PointStore::create(dims, args.input_dim, args.shingle_size, args.internal_shingling, rows);
    forest.entries_seen = 0;
    forest.rng = Xoshiro256PlusPlus::seeded(master.next_u64());
    return forest;
}

void Forest::set_box_min_points(std::uint64_t min_points) {
    for (RcfTree& tree : trees) {
        tree.arena.box_min_points = min_points;
        tree.arena.fit_boxes(point_store);
    }
}

}  // namespace arbolet::rcf
