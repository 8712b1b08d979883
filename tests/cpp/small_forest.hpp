// The small decaying forest that the engine checks drive: shingled, a few
// trees of 16 or fewer points, so that evictions come early and often.
#pragma once

#include <utility>

#include "rcf/forest/forest.hpp"

inline arbolet::rcf::Forest small_forest(std::uint64_t input_dim, std::uint64_t trees, std::uint64_t capacity) {
    arbolet::rcf::RcfConfig c;
    c.input_dim = input_dim;
    c.shingle_size = 2;
    c.num_trees = trees;
    c.capacity = capacity;
    c.time_decay = 0.05;
    return std::move(arbolet::rcf::Forest::build(c, 17).value());
}
