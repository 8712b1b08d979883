#include "rcf/node_arena.hpp"

namespace arbolet::rcf {

NodeArena NodeArena::create(std::uint64_t dims, std::uint64_t reserve_nodes) {
    NodeArena arena;
    arena.dims = dims;
    arena.nodes.reserve(reserve_nodes);
    return arena;
}

}  // namespace arbolet::rcf
