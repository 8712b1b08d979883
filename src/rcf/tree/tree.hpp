// One random cut tree over the points that its sampler holds.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/engine_error.hpp"
#include "random/xoshiro.hpp"
#include "rcf/config.hpp"
#include "rcf/node_arena.hpp"

namespace arbolet::rcf {

struct PointStore;

// One internal node passed by a scoring descent: its slot, and its mass, so
// that the fold back up need not read the node again to weigh it. The mass
// stays an integer because only nodes with a nonzero separation need it as a
// double.
struct PathStep {
    std::uint64_t mass;
    std::uint64_t slot;
};

// Reusable working storage for descents (not part of the state).
struct TreeScratch {
    std::vector<PathStep> path_steps;
    // The last descent (RcfTree::descend): its first `path_length` entries
    // are the internal nodes passed, root first, and the child of each that
    // it did not take. The tables only grow.
    std::vector<std::uint64_t> path_nodes;
    std::vector<std::uint64_t> path_siblings;
    std::size_t path_length = 0;
    std::span<const std::uint64_t> path() const { return {path_nodes.data(), path_length}; }
    std::span<const std::uint64_t> siblings() const { return {path_siblings.data(), path_length}; }
    std::vector<std::uint64_t> refresh;

    // Insertion's cut search: the growing box and the per-dimension ranges.
    std::vector<float> box_min;
    std::vector<float> box_max;
    std::vector<double> ranges;
    // The point being added by Forest::update.
    std::vector<float> point;
    // Boxes rebuilt for nodes that keep none.
    BoxWork box_work;
    // Set by remove: the leaf that lost one copy but still stands for others,
    // or kNone when a leaf was taken out (or nothing changed).
    std::uint64_t kept_leaf = kNone;

    // Room for an update of trees of up to `nodes` slots and `dims`
    // dimensions: a descent visits fewer nodes than its arena has.
    void make_update_room(std::uint64_t nodes, std::uint64_t dims);
};

struct RcfTree {
    std::uint64_t root = kNone;
    std::uint64_t tree_mass = 0;
    NodeArena arena;
    Xoshiro256PlusPlus rng;
    std::uint64_t dims = 0;

    // An empty tree; its arena grows as points arrive.
    static RcfTree create(std::uint64_t dims, Xoshiro256PlusPlus rng);

    bool empty() const { return root == kNone; }

    // Records the path in scratch (path(), siblings()) and returns the leaf
    // reached. Must not be called on an empty tree.
    std::uint64_t descend(std::span<const float> point, TreeScratch& scratch) const;

    // mutation.cpp
    void insert(const PointStore& store, std::uint64_t slot, TreeScratch& scratch);
    Status remove(const PointStore& store, std::uint64_t slot, TreeScratch& scratch);

    friend bool operator==(const RcfTree& a, const RcfTree& b) {
        return a.root == b.root && a.tree_mass == b.tree_mass && a.arena == b.arena && a.rng == b.rng &&
               a.dims == b.dims;
    }
};

}  // namespace arbolet::rcf
