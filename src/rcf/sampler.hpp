// Time-decayed weighted reservoir: one per tree.
#pragma once

#include <cstdint>
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

    static Sampler create(std::uint64_t capacity);

    enum class Decision : std::uint8_t { Rejected, Accepted, AcceptedWithEviction };
    struct Outcome {
        Decision decision;
        std::uint64_t evicted;  // the evicted slot for AcceptedWithEviction
    };

    Outcome decide(Xoshiro256PlusPlus& rng, double decay, double t, double initial_accept_fraction,
                   std::uint64_t slot);
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

}  // namespace arbolet::rcf
