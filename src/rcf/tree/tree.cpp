#include "rcf/tree/tree.hpp"

namespace arbolet::rcf {

RcfTree RcfTree::create(std::uint64_t dims, std::uint64_t capacity, Xoshiro256PlusPlus rng) {
    RcfTree tree;
    tree.root = kNone;
    tree.tree_mass = 0;
    tree.arena = NodeArena::create(dims, 2 * capacity + 4);
    tree.rng = rng;
    tree.dims = dims;
    return tree;
}

}  // namespace arbolet::rcf
