// Time-decayed weighted reservoir: one per tree.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "random/xoshiro.hpp"
#include "rcf/config.hpp"

namespace arbolet::rcf {

// `weights` and `point_indices` have the same length, from `size` up to
// `capacity`: they grow as entries arrive, so that a sampler costs memory
// for what it holds rather than for what it may hold. Entries past their
// length are unused ones: weight +0.0 and point kNone.
struct Sampler {
    std::uint64_t capacity = 0;
    std::vector<double> weights;             // max-heap over [0, size)
    std::vector<std::uint64_t> point_indices;
    std::uint64_t size = 0;
    double pending_weight = 0.0;
    std::uint64_t pending_point = kNone;
    // Working knowledge, not state (left out of == and of documents): while
    // the largest weight is `reject_largest` and the time shift at most
    // `reject_shift`, a full sampler rejects every draw below `reject_below`,
    // so that it need not compute their weights. A key that no weight
    // equals (NaN) makes the first full decision work it out.
    double reject_largest = std::numeric_limits<double>::quiet_NaN();
    double reject_shift = 0.0;
    double reject_below = 0.0;

    static Sampler create(std::uint64_t capacity);

    enum class Decision : std::uint8_t { Rejected, Accepted, AcceptedWithEviction };
    struct Outcome {
        Decision decision;
        std::uint64_t evicted;  // the evicted slot for AcceptedWithEviction
    };

    // Where a decision's uniforms come from: the generator itself, or draws
    // taken from it earlier, in order.
    struct FromGenerator {
        Xoshiro256PlusPlus& rng;
        double operator()() { return rng.uniform_f64(); }
    };
    struct TakenBefore {
        const double* next;
        double operator()() { return *next++; }
    };
    // How many uniforms the next decision draws: a second one while filling.
    // Known before the draws, so the draws of many samplers can be taken in
    // order first and their decisions made anywhere.
    std::uint64_t draws_needed() const { return size != capacity ? 2 : 1; }
    // Defined for FromGenerator and TakenBefore.
    template <class Draws>
    Outcome decide(Draws draws, double decay, double t, double initial_accept_fraction, std::uint64_t slot);
    Outcome decide(Xoshiro256PlusPlus& rng, double decay, double t, double initial_accept_fraction,
                   std::uint64_t slot) {
        return decide(FromGenerator{rng}, decay, t, initial_accept_fraction, slot);
    }
    void commit(std::uint64_t slot);
    // Room for the next commit, so that it does not allocate.
    void make_commit_room() {
        if (size >= weights.size() && size < capacity) [[unlikely]] grow_commit_room();
    }
    void grow_commit_room();
    std::uint64_t grown_length() const;

    // Entry k of the full capacity, unused past the lists' length.
    double weight_at(std::uint64_t k) const { return k < weights.size() ? weights[k] : 0.0; }
    std::uint64_t point_at(std::uint64_t k) const { return k < point_indices.size() ? point_indices[k] : kNone; }

    // Equal entries over the full capacity, however far each has grown.
    friend bool operator==(const Sampler& a, const Sampler& b);
};

// Natural logarithm by the fdlibm polynomial, every operation rounded
// separately, so that sampler weights are identical on every platform.
double software_log(double x);

// Every draw u below this value has a weight, software_log(-software_log(u))
// - shift, that is not below `largest` whenever bound >= largest + shift,
// however the logarithms round; 0 for a NaN or infinite bound.
double surely_rejected_below(double bound);

}  // namespace arbolet::rcf
