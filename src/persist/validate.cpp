#include "persist/validate.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "common/internal_failure.hpp"

namespace arbolet::persist {

namespace {

using rcf::kNone;
using rcf::Node;
using rcf::NodeKind;
using std::to_string;

std::string inconsistent(const std::string& what) { return "inconsistent state: " + what; }

std::string check_point_store(const rcf::RcfConfig& config, const rcf::PointStore& ps) {
    std::uint64_t d = 0;
    if (!checked_mul(config.input_dim, config.shingle_size, d))
        return inconsistent("input_dim * shingle_size does not fit in 64 bits");
    if (ps.input_dim != config.input_dim || ps.shingle_size != config.shingle_size ||
        ps.internal_shingling != config.internal_shingling)
        return inconsistent("point store shingling settings differ from the configuration");
    if (ps.dim != d)
        return inconsistent("point store dim " + to_string(ps.dim) + ", expected " + to_string(d));
    if (ps.store.dim.size() != 2 || ps.store.dim[0] != ps.capacity || ps.store.dim[1] != ps.dim)
        return inconsistent("point store matrix is not capacity x dim (" + to_string(ps.capacity) + " x " +
                            to_string(ps.dim) + ")");
    if (ps.occupied.size() != ps.capacity)
        return inconsistent("point store occupied has " + to_string(ps.occupied.size()) + " entries, expected " +
                            to_string(ps.capacity));
    if (ps.ref_count.size() != ps.capacity)
        return inconsistent("point store ref_count has " + to_string(ps.ref_count.size()) + " entries, expected " +
                            to_string(ps.capacity));
    if (ps.next_free > ps.capacity)
        return inconsistent("point store next_free " + to_string(ps.next_free) + " beyond capacity " +
                            to_string(ps.capacity));
    for (std::uint64_t slot : ps.free_list)
        if (slot >= ps.capacity)
            return inconsistent("point store free_list names slot " + to_string(slot) + " beyond capacity " +
                                to_string(ps.capacity));
    if (ps.shingle_buf.size() != ps.dim)
        return inconsistent("shingle_buf has " + to_string(ps.shingle_buf.size()) + " values, expected " +
                            to_string(ps.dim));
    return {};
}

std::string check_sampler(std::size_t t, const rcf::Sampler& s, std::uint64_t rows) {
    const std::string name = "sampler " + to_string(t);
    if (s.weights.size() != s.capacity || s.point_indices.size() != s.capacity)
        return inconsistent(name + " lists differ from its capacity " + to_string(s.capacity));
    for (std::uint64_t slot : s.point_indices)
        if (slot != kNone && slot >= rows)
            return inconsistent(name + " names point " + to_string(slot) + " beyond the point store");
    if (s.pending_point != kNone && s.pending_point >= rows)
        return inconsistent(name + " pending_point " + to_string(s.pending_point) + " beyond the point store");
    return {};
}

std::string check_tree(std::size_t t, const rcf::RcfTree& tree, std::uint64_t dims, std::uint64_t rows,
                       std::vector<std::uint8_t>& mark, std::vector<std::uint64_t>& stack) {
    const std::string name = "tree " + to_string(t);
    if (tree.dims != dims) return inconsistent(name + " dims " + to_string(tree.dims) + ", expected " + to_string(dims));
    const std::vector<Node>& nodes = tree.arena.nodes;
    const std::uint64_t n = nodes.size();

    for (std::uint64_t s = 0; s < n; ++s) {
        const Node& node = nodes[s];
        auto at = [&] { return name + " node " + to_string(s); };
        if (node.kind == NodeKind::Leaf) {
            if (node.point_idx() >= rows)
                return inconsistent(at() + " names point " + to_string(node.point_idx()) + " beyond the point store");
        } else if (node.kind == NodeKind::Internal) {
            for (std::uint64_t child : {node.left, node.right}) {
                if (child >= n) return inconsistent(at() + " names child " + to_string(child) + " beyond the arena");
                if (nodes[child].kind == NodeKind::Vacant)
                    return inconsistent(at() + " names vacant child " + to_string(child));
            }
            if (node.cut_dim() >= dims)
                return inconsistent(at() + " cuts dimension " + to_string(node.cut_dim()) + " of " + to_string(dims));
        }
    }

    // A free slot handed out twice would overwrite a live node.
    mark.assign(n, 0);
    for (std::uint64_t slot : tree.arena.free) {
        if (slot >= n) return inconsistent(name + " free list names slot " + to_string(slot) + " beyond the arena");
        if (nodes[slot].kind != NodeKind::Vacant)
            return inconsistent(name + " free list names occupied slot " + to_string(slot));
        if (mark[slot]) return inconsistent(name + " free list names slot " + to_string(slot) + " twice");
        mark[slot] = 1;
    }

    if (tree.root == kNone) return {};
    if (tree.root >= n) return inconsistent(name + " root " + to_string(tree.root) + " beyond the arena");
    if (nodes[tree.root].kind == NodeKind::Vacant) return inconsistent(name + " root names vacant slot");

    // Every node reached once from the root: no cycles, no shared subtrees,
    // so every walk over the tree ends.
    mark.assign(n, 0);
    stack.clear();
    stack.push_back(tree.root);
    mark[tree.root] = 1;
    while (!stack.empty()) {
        const Node& node = nodes[stack.back()];
        stack.pop_back();
        if (node.kind != NodeKind::Internal) continue;
        for (std::uint64_t child : {node.left, node.right}) {
            if (mark[child]) return inconsistent(name + " node " + to_string(child) + " is reached twice from the root");
            mark[child] = 1;
            stack.push_back(child);
        }
    }
    return {};
}

}  // namespace

std::string find_forest_inconsistency(const rcf::Forest& forest) {
    const rcf::RcfConfig& config = forest.config;
    // The constructor's refusal holds for loaded states too: such a forest
    // would silently stop learning.
    if (const char* problem = rcf::time_decay_problem(config.time_decay)) return inconsistent(problem);
    if (forest.trees.size() != config.num_trees)
        return inconsistent(to_string(forest.trees.size()) + " trees, expected num_trees " + to_string(config.num_trees));
    if (forest.samplers.size() != forest.trees.size())
        return inconsistent(to_string(forest.samplers.size()) + " samplers for " + to_string(forest.trees.size()) +
                            " trees");
    std::string problem = check_point_store(config, forest.point_store);
    if (!problem.empty()) return problem;
    const std::uint64_t rows = forest.point_store.capacity;
    const std::uint64_t dims = forest.point_store.dim;
    for (std::size_t t = 0; t < forest.samplers.size(); ++t) {
        problem = check_sampler(t, forest.samplers[t], rows);
        if (!problem.empty()) return problem;
    }
    std::vector<std::uint8_t> mark;
    std::vector<std::uint64_t> stack;
    for (std::size_t t = 0; t < forest.trees.size(); ++t) {
        problem = check_tree(t, forest.trees[t], dims, rows, mark, stack);
        if (!problem.empty()) return problem;
    }
    return {};
}

}  // namespace arbolet::persist
