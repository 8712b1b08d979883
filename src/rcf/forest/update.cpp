// Forest::update: shingle, store, and offer the point to every tree's sampler.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/memory_budget.hpp"
#include "common/room.hpp"
#include "rcf/forest/forest.hpp"
#include "rcf/tree/traversal.hpp"

namespace arbolet::rcf {

namespace {

// After tree `tree` removed one copy of slot `evicted` from leaf `leaf` and
// the leaf still stands for other copies, the leaf must stop naming the
// evicted slot: the point store may free and reuse it once the samplers let
// go of it. The leaf moves to another slot that the tree's own sampler keeps
// and that descends to this leaf. A slot with the very same bits is
// preferred, so that nothing a query can see changes; among those the one
// with the smallest weight, which the sampler will keep the longest. Entry 0
// is the evicted one and is about to be overwritten by the commit.
void repoint_leaf(const RcfTree& tree, NodeArena& arena, const Sampler& sampler, const PointStore& store,
                  std::uint64_t leaf, std::uint64_t evicted, TreeScratch& scratch) {
    const std::uint64_t entries = std::min<std::uint64_t>(
        sampler.size, std::min<std::uint64_t>(sampler.weights.size(), sampler.point_indices.size()));
    const std::span<const float> gone = store.row(evicted);
    std::uint64_t best = kNone;
    for (std::uint64_t k = 1; k < entries; ++k) {
        const std::uint64_t s = sampler.point_indices[k];
        if (s == evicted || s >= store.capacity) continue;
        const std::span<const float> r = store.row(s);
        if (r.size() != gone.size() || std::memcmp(r.data(), gone.data(), r.size() * sizeof(float)) != 0) continue;
        if (best == kNone || sampler.weights[k] < sampler.weights[best]) best = k;
    }
    if (best == kNone) {
        // Copies merged into the leaf without being bit-identical (0.0 and
        // -0.0, or points that only the fallback cut could not tell apart).
        for (std::uint64_t k = 1; k < entries; ++k) {
            const std::uint64_t s = sampler.point_indices[k];
            if (s == evicted || s >= store.capacity) continue;
            if (tree.descend(store.row(s), scratch) == leaf) {
                best = k;
                break;
            }
        }
    }
    if (best == kNone) return;
    const std::uint64_t moved_to = sampler.point_indices[best];
    // Boxes above the leaf keep the bits of the row it leaves until a
    // refresh passes them, which a rebuilt box would not: from here on the
    // tree keeps every box (a stream mixing 0.0 and -0.0 gets here).
    if (!arena.keep_all_boxes &&
        std::memcmp(store.row(moved_to).data(), gone.data(), gone.size() * sizeof(float)) != 0) {
        arena.keep_all_boxes = true;
        arena.fit_boxes(store);
    }
    arena.node(leaf).set_point_idx(moved_to);
}

}  // namespace

Status Forest::check_observation(std::span<const float> point) const {
    const std::uint64_t given = point.size();
    const bool shingled = point_store.internal_shingling;
    if (shingled) {
        if (given != point_store.input_dim) return EngineError::dimension_mismatch(point_store.input_dim, given);
    } else {
        const std::uint64_t full = config.dimensions();
        if (given != full) return EngineError::dimension_mismatch(full, given);
    }
    // Refused before anything changes. A NaN coordinate routes right at
    // every cut while boxes ignore it, so a later cut can send its own
    // descent elsewhere and deletion would then take a copy from the wrong
    // leaf. An infinite one stretches every box on its way to infinity, after
    // which even huge values look typical, and the state could be saved but
    // never read back (documents hold no infinities).
    for (const float v : point)
        if (!std::isfinite(v)) return EngineError::invalid_argument("point values must be finite");
    return {};
}

namespace {

// A parallel update's draws from the forest generator (two slots a tree,
// the second used while the tree's sampler fills) and its trees' decisions:
// the caller's, read and written by the workers.
struct ParallelOffer {
    std::vector<double> draws;
    std::vector<Sampler::Outcome> outcomes;
};

ParallelOffer& parallel_offer() {
    thread_local ParallelOffer offer;
    return offer;
}

}  // namespace

void Forest::make_update_room(Workspace& work) {
    const std::size_t count = trees.size();
    // The most nodes a tree of this capacity holds at once, and the two
    // that an update takes before it gives any back.
    const std::uint64_t planned_slots = saturating_add(saturating_mul(config.capacity, 2), 4);
    std::uint64_t nodes = 0;
    for (std::size_t i = 0; i < count; ++i) {
        trees[i].arena.make_update_room(planned_slots);
        samplers[i].make_commit_room();
        nodes = std::max<std::uint64_t>(nodes, trees[i].arena.nodes.size());
    }
    // Each tree may free the slot it evicts, and a point that no tree takes is freed.
    point_store.make_update_room(count + 1);
    const std::uint64_t dims = point_store.dim;
    work.scratch.make_update_room(nodes, dims);
    const std::uint64_t threads = work.threads;
    if (threads <= 1 || count < 2) return;
    ParallelOffer& parallel = parallel_offer();
    reserve_total(parallel.draws, 2 * count);
    reserve_total(parallel.outcomes, count);
    const std::size_t chunks = tree_chunk_count(count, threads);
    if (work.chunk_scratch.size() < chunks) work.chunk_scratch.resize(chunks);
    for (TreeScratch& s : work.chunk_scratch) s.make_update_room(nodes, dims);
}

std::span<const float> Forest::take_observation(std::span<const float> point, Workspace& work) {
    if (samplers.size() != trees.size()) fail("forest has different numbers of trees and samplers");
    make_update_room(work);

    std::vector<float>& fresh = work.scratch.point;
    if (point_store.internal_shingling)
        point_store.shingle(point, fresh);
    else
        fresh.assign(point.begin(), point.end());

    // Saturates: a loaded state may start near 2^64, and a forest never becomes unready again.
    entries_seen = saturating_add(entries_seen, 1);
    return fresh;
}

Status Forest::update(std::span<const float> point, Workspace& work) {
    Status valid = check_observation(point);
    if (!valid) return valid;
    const std::span<const float> fresh = take_observation(point, work);
    if (entries_seen <= config.shingle_warmup()) return {};
    return offer(fresh, work);
}

namespace {

// One tree's part of offering slot `n`, after its sampler decided `out`:
// the eviction, the insertion and the sampler's commit. Reads the point
// store and changes nothing outside the tree and its sampler, so trees can
// take their parts in any order or at once.
Status tree_part(RcfTree& tree, Sampler& sampler, const PointStore& store, Sampler::Outcome out, std::uint64_t n,
                 TreeScratch& scratch) {
    if (out.decision == Sampler::Decision::AcceptedWithEviction) {
        const std::uint64_t e = out.evicted;
        Status removed = tree.remove(store, e, scratch);
        if (!removed) return removed;
        const std::uint64_t kept = scratch.kept_leaf;
        if (kept != kNone && tree.arena.node(kept).point_idx() == e)
            repoint_leaf(tree, tree.arena, sampler, store, kept, e, scratch);
    }
    tree.insert(store, n, scratch);
    sampler.commit(n);
    return {};
}

// The point store's side of one accepting tree: the evicted slot's
// reference goes, the new slot's comes.
void store_part(PointStore& store, Sampler::Outcome out, std::uint64_t n) {
    if (out.decision == Sampler::Decision::AcceptedWithEviction) store.release(out.evicted);
    store.add_ref(n);
}

}  // namespace

Status Forest::offer(std::span<const float> fresh, Workspace& work, std::span<double> tree_scores) {
    if (fresh.size() != point_store.dim) return EngineError::dimension_mismatch(point_store.dim, fresh.size());
    const std::uint64_t t = entries_seen;
    const std::uint64_t n = point_store.add(fresh);
    const double decay = config.effective_decay();
    const double time = static_cast<double>(t);
    const std::size_t count = trees.size();

    if (!tree_scores.empty() && tree_scores.size() != count) fail("one score per tree was not asked for");
    bool accepted = false;
    const std::uint64_t threads = work.threads;
    if (threads <= 1 || count < 2) {
        if (!tree_scores.empty())
            traversal::path_values(trees, point_store, fresh, traversal::PathKind::Score, tree_scores,
                                   thread_scratch().path_steps);
        for (std::size_t i = 0; i < count; ++i) {
            const Sampler::Outcome out = samplers[i].decide(rng, decay, time, config.initial_accept_fraction, n);
            if (out.decision == Sampler::Decision::Rejected) continue;
            accepted = true;
            Status done = tree_part(trees[i], samplers[i], point_store, out, n, work.scratch);
            if (!done) return done;
            store_part(point_store, out, n);
        }
    } else {
        // The forest generator is drawn by the samplers alone, in tree order,
        // and how many draws a sampler takes is known before it decides: the
        // draws are taken here, in that order. The trees then decide and take
        // their parts at once, each from its own draws and with its own
        // generator (scoring the point first when asked), and the point
        // store's references follow in tree order: the same bits as the loop
        // above.
        ParallelOffer& parallel = parallel_offer();
        std::vector<double>& draws = parallel.draws;
        std::vector<Sampler::Outcome>& outcomes = parallel.outcomes;
        draws.resize(2 * count);
        outcomes.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            draws[2 * i] = rng.uniform_f64();
            draws[2 * i + 1] = samplers[i].draws_needed() == 2 ? rng.uniform_f64() : 0.0;
        }
        std::mutex failure_mutex;
        std::size_t failed = count;
        EngineError failure{};
        if (work.chunk_scratch.size() < tree_chunk_count(count, threads)) fail("update room was not made");
        const std::span<const RcfTree> all_trees(trees);
        for_tree_chunks(count, threads, [&](std::size_t begin, std::size_t end, std::size_t chunk) {
            if (!tree_scores.empty())
                traversal::path_values(all_trees.subspan(begin, end - begin), point_store, fresh,
                                       traversal::PathKind::Score, tree_scores.subspan(begin, end - begin),
                                       thread_scratch().path_steps);
            TreeScratch& own = work.chunk_scratch[chunk];
            for (std::size_t i = begin; i < end; ++i) {
                outcomes[i] = samplers[i].decide(Sampler::TakenBefore{&draws[2 * i]}, decay, time,
                                                 config.initial_accept_fraction, n);
                if (outcomes[i].decision == Sampler::Decision::Rejected) continue;
                Status done = tree_part(trees[i], samplers[i], point_store, outcomes[i], n, own);
                if (!done) {
                    std::lock_guard<std::mutex> lock(failure_mutex);
                    if (i < failed) {
                        failed = i;
                        failure = done.error();
                    }
                    return;
                }
            }
        });
        for (std::size_t i = 0; i < failed; ++i) {
            if (outcomes[i].decision == Sampler::Decision::Rejected) continue;
            accepted = true;
            store_part(point_store, outcomes[i], n);
        }
        if (failed < count) return failure;
    }
    if (!accepted) point_store.release(n);
    return {};
}

// The score of the full shingle that update(point) inserts, on the forest
// as it was: each tree scores it just before it takes its part (a tree's
// part changes nothing that another tree's score reads), and while the
// shingle is still filling, when no tree takes it, score() does.
Result<double> Forest::score_and_update(std::span<const float> point, Workspace& work) {
    Status valid = check_observation(point);
    if (!valid) return valid.take_error();
    thread_local std::vector<double> per_tree;
    per_tree.resize(trees.size());
    const std::span<const float> fresh = take_observation(point, work);
    if (entries_seen <= config.shingle_warmup()) return score(fresh, work.threads);
    Status done = offer(fresh, work, per_tree);
    if (!done) return done.take_error();
    return mean_of_trees(per_tree);
}

}  // namespace arbolet::rcf
