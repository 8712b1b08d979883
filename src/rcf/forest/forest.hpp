// The whole state of one Random Cut Forest detector, and its operations.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/engine_error.hpp"
#include "common/worker_pool.hpp"
#include "random/xoshiro.hpp"
#include "rcf/attribution.hpp"
#include "rcf/config.hpp"
#include "rcf/forest/workspace.hpp"
#include "rcf/point_store.hpp"
#include "rcf/sampler.hpp"
#include "rcf/tree/tree.hpp"

namespace arbolet::rcf {

struct Neighbor {
    double score;
    std::vector<float> point;
    double distance;
};

// How many ranges for_tree_chunks cuts `count` trees into.
inline std::size_t tree_chunk_count(std::size_t count, std::uint64_t threads) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, threads * 4));
}

// Runs work(begin, end, chunk) over consecutive ranges of `count` trees on up
// to `threads` threads: a few ranges per thread, so that uneven trees
// balance. `chunk` is the range's number, below tree_chunk_count.
template <class Work>
void for_tree_chunks(std::size_t count, std::uint64_t threads, const Work& work) {
    const std::size_t chunks = tree_chunk_count(count, threads);
    parallel_for(chunks, static_cast<std::size_t>(threads), [&](std::size_t c) {
        work(c * count / chunks, (c + 1) * count / chunks, c);
    });
}

struct Forest {
    // What runs it besides the state (workspace.hpp).
    using Workspace = rcf::Workspace;

    RcfConfig config;
    std::vector<RcfTree> trees;
    std::vector<Sampler> samplers;
    PointStore point_store;
    std::uint64_t entries_seen = 0;
    Xoshiro256PlusPlus rng;

    // The calling thread's working storage for queries (which may run in
    // several threads at once) and for one tree's share of a parallel
    // update, reused across calls.
    static TreeScratch& thread_scratch();

    // forest.cpp. `config.initial_accept_fraction` is ignored (always 0.125).
    // Draws the seed from the operating system when none is given, then
    // validates.
    static Result<Forest> build(const RcfConfig& config, std::optional<std::uint64_t> seed);
    // The constructor's refusals of a configuration (InvalidArgument with
    // its message), without the memory check; loading applies them too.
    static Status check_config(const RcfConfig& config);
    // The constructor's memory check for a configuration that passed
    // check_config: MemoryError-kind failure when a full forest and the JSON
    // document that any state of its configuration writes would not fit
    // together.
    static void check_size(const RcfConfig& config);

    bool is_ready() const { return config.is_ready(entries_seen); }
    // Updates still to come before is_ready() turns true, 0 once it has
    // (saturating).
    std::uint64_t updates_until_ready() const {
        std::uint64_t last_unready;  // the largest entries_seen at which the forest is not ready
        if (add_overflows(config.effective_output_after(), config.shingle_warmup(), last_unready)) return UINT64_MAX;
        if (entries_seen > last_unready) return 0;
        const std::uint64_t left = last_unready - entries_seen;
        return left == UINT64_MAX ? UINT64_MAX : left + 1;
    }
    std::uint64_t num_trees() const { return trees.size(); }

    // update.cpp
    // The operations that change the forest take the workspace to run with
    // (by default the calling thread's, one thread).
    Status update(std::span<const float> point, Workspace& work = Workspace::of_this_thread());
    // Grows everything that an update may grow, the workspace's storage
    // included, before anything changes, so that running out of memory
    // (std::bad_alloc) leaves the forest as it was.
    void make_update_room(Workspace& work = Workspace::of_this_thread());
    // The score of the full shingle that update(point) inserts, then the
    // update itself; nothing changes when the observation is refused.
    Result<double> score_and_update(std::span<const float> point, Workspace& work = Workspace::of_this_thread());
    // update()'s checks of one observation: its length and finite values.
    Status check_observation(std::span<const float> point) const;
    // The first half of update, for an observation that passed the checks:
    // room for the update, the shingle, the count. Returns the point to offer.
    std::span<const float> take_observation(std::span<const float> point, Workspace& work);
    // The second half of update: store the (already shingled) point of the
    // current entries_seen and offer it to every tree. Values are taken as
    // they are, so loaded states and engine checks can drive the trees with
    // any coordinates.
    // With `tree_scores` (one per tree), each tree's score of the point is
    // written there before the tree takes its part.
    Status offer(std::span<const float> point, Workspace& work = Workspace::of_this_thread(),
                 std::span<double> tree_scores = {});

    // query.cpp
    // The dimension check of the point queries.
    Status check_query(std::span<const float> point) const;
    // `threads` as Workspace::threads.
    Result<double> score(std::span<const float> point, std::uint64_t threads = 1) const;
    // The forest's value from its trees' values (score, displacement,
    // density): their sum in tree order over the number of trees, empty
    // trees included.
    static double mean_of_trees(std::span<const double> values);
    Result<double> displacement_score(std::span<const float> point, std::uint64_t threads = 1) const;
    Result<double> density(std::span<const float> point, std::uint64_t threads = 1) const;
    Result<std::vector<AttributionPair>> attribution(std::span<const float> point) const;
    Result<std::vector<Neighbor>> near_neighbors(std::span<const float> point, std::uint64_t top_k,
                                                 std::uint64_t percentile) const;

    // impute.cpp
    Result<std::vector<float>> impute(std::span<const float> point, std::span<const std::uint64_t> missing,
                                      double centrality) const;
    Result<std::vector<float>> extrapolate(std::uint64_t look_ahead) const;

    // Nodes holding fewer points than `min_points` keep no box (the boxes
    // are rebuilt from the points when a walk needs them): memory for time,
    // every result the same. Not state. Also refits the box tables, as a
    // loaded forest needs (it arrives with every box).
    void set_box_min_points(std::uint64_t min_points);
    std::uint64_t box_min_points() const {
        return trees.empty() ? kDefaultBoxMinPoints : trees.front().arena.box_min_points;
    }

    friend bool operator==(const Forest& a, const Forest& b) {
        if (!(a.config == b.config && a.trees == b.trees && a.samplers == b.samplers &&
              a.point_store == b.point_store && a.entries_seen == b.entries_seen && a.rng == b.rng))
            return false;
        for (std::size_t i = 0; i < a.trees.size(); ++i)
            if (!NodeArena::same_boxes(a.trees[i].arena, a.point_store, b.trees[i].arena, b.point_store)) return false;
        return true;
    }
};

}  // namespace arbolet::rcf
