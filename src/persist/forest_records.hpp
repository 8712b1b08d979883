// The Forest's persisted records.
#pragma once

#include <tuple>

#include "persist/record_description.hpp"
#include "rcf/forest/forest.hpp"

namespace arbolet::persist {

// Tags of the Forest's values that are no plain member (see record::Special).
namespace forest_tags {
struct Trees {};          // each tree, with its index for messages
struct Nodes {};          // the arena's slots: null, {"Leaf": …} or {"Internal": …}
struct LeftChild {};      // child slots are 32 bits wide
struct RightChild {};
struct CutDim {};         // 24 bits wide
struct PointIdx {};       // a leaf's point row, 32 bits wide
struct Mass {};           // 32 bits wide
struct Box {};            // the node's row of the arena's box table
struct BoxMin {};
struct BoxMax {};
struct BoxRangeSum {};    // null for an infinite sum
struct Weights {};        // held up to their length, the rest unused
struct PointIndices {};
struct Store {};          // the point rows, held up to held_rows()
struct Occupied {};
struct RefCount {};
}  // namespace forest_tags

// The variants of an arena slot and an internal node's box, described as
// records of their own (their values are reached through the node).
struct LeafVariant {};
struct InternalVariant {};
struct BoxRecord {};

}  // namespace arbolet::persist

namespace arbolet::persist::record {

namespace ft = forest_tags;

template <>
struct Description<rcf::Forest> {
    static constexpr std::string_view name = "Forest";
    static constexpr auto fields = std::tuple{
        member<&rcf::Forest::config>("config", Nested{}),
        computed<ft::Trees>("trees"),
        member<&rcf::Forest::samplers>("samplers", ListOf<Nested>{}),
        member<&rcf::Forest::point_store>("point_store", Nested{}),
        member<&rcf::Forest::entries_seen>("entries_seen", U64{}),
        member<&rcf::Forest::rng>("rng", Nested{}),
    };
};

template <>
struct Description<rcf::RcfConfig> {
    static constexpr std::string_view name = "RcfConfig";
    static constexpr auto fields = std::tuple{
        member<&rcf::RcfConfig::input_dim>("input_dim", Usize{}),
        member<&rcf::RcfConfig::shingle_size>("shingle_size", Usize{}),
        member<&rcf::RcfConfig::capacity>("capacity", Usize{}),
        member<&rcf::RcfConfig::num_trees>("num_trees", Usize{}),
        member<&rcf::RcfConfig::time_decay>("time_decay", F64{}),
        member<&rcf::RcfConfig::output_after>("output_after", Usize{}),
        member<&rcf::RcfConfig::internal_shingling>("internal_shingling", Bool{}),
        member<&rcf::RcfConfig::initial_accept_fraction>("initial_accept_fraction", F64{}),
    };
};

template <>
struct Description<rcf::RcfTree> {
    static constexpr std::string_view name = "RcfTree";
    static constexpr auto fields = std::tuple{
        member<&rcf::RcfTree::root>("root", Usize{}),
        member<&rcf::RcfTree::tree_mass>("tree_mass", Usize{}),
        member<&rcf::RcfTree::arena>("arena", Nested{}),
        member<&rcf::RcfTree::rng>("rng", Nested{}),
        member<&rcf::RcfTree::dims>("dims", Usize{}),
    };
};

template <>
struct Description<rcf::NodeArena> {
    static constexpr std::string_view name = "NodeArena";
    static constexpr auto fields = std::tuple{
        computed<ft::Nodes>("nodes"),
        member<&rcf::NodeArena::free>("free", ListOf<Usize>{}),
    };
};

template <>
struct Description<LeafVariant> {
    static constexpr std::string_view shape = "struct variant";
    static constexpr std::string_view name = "Node::Leaf";
    static constexpr auto fields = std::tuple{
        computed<ft::PointIdx>("point_idx"),
        computed<ft::Mass>("mass"),
    };
};

template <>
struct Description<InternalVariant> {
    static constexpr std::string_view shape = "struct variant";
    static constexpr std::string_view name = "Node::Internal";
    static constexpr auto fields = std::tuple{
        computed<ft::LeftChild>("left"),
        computed<ft::RightChild>("right"),
        computed<ft::CutDim>("cut_dim"),
        member<&rcf::Node::cut_val>("cut_val", F32{}),
        computed<ft::Mass>("mass"),
        computed<ft::Box>("bbox"),
    };
};

template <>
struct Description<BoxRecord> {
    static constexpr std::string_view name = "BoundingBox";
    static constexpr auto fields = std::tuple{
        computed<ft::BoxMin>("min"),
        computed<ft::BoxMax>("max"),
        computed<ft::BoxRangeSum>("range_sum"),
    };
};

template <>
struct Description<Xoshiro256PlusPlus> {
    static constexpr std::string_view name = "Xoshiro256PlusPlus";
    static constexpr auto fields = std::tuple{
        member<&Xoshiro256PlusPlus::s>("s", Fixed<U64, 4>{}),
    };
};

template <>
struct Description<rcf::Sampler> {
    static constexpr std::string_view name = "Sampler";
    static constexpr auto fields = std::tuple{
        member<&rcf::Sampler::capacity>("capacity", Usize{}),
        computed<ft::Weights>("weights"),
        computed<ft::PointIndices>("point_indices"),
        member<&rcf::Sampler::size>("size", Usize{}),
        member<&rcf::Sampler::pending_weight>("pending_weight", F64{}),
        member<&rcf::Sampler::pending_point>("pending_point", Usize{}),
    };
};

template <>
struct Description<rcf::PointStore> {
    static constexpr std::string_view name = "PointStore";
    static constexpr auto fields = std::tuple{
        member<&rcf::PointStore::dim>("dim", Usize{}),
        member<&rcf::PointStore::input_dim>("input_dim", Usize{}),
        member<&rcf::PointStore::shingle_size>("shingle_size", Usize{}),
        member<&rcf::PointStore::internal_shingling>("internal_shingling", Bool{}),
        computed<ft::Store>("store"),
        computed<ft::Occupied>("occupied"),
        computed<ft::RefCount>("ref_count"),
        member<&rcf::PointStore::next_free>("next_free", Usize{}),
        member<&rcf::PointStore::free_list>("free_list", ListOf<Usize>{}),
        member<&rcf::PointStore::size>("size", Usize{}),
        member<&rcf::PointStore::capacity>("capacity", Usize{}),
        member<&rcf::PointStore::shingle_buf>("shingle_buf", ListOf<F32>{}),
        member<&rcf::PointStore::entries_seen>("entries_seen", U64{}),
    };
};

}  // namespace arbolet::persist::record
