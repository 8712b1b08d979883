// The forest's configuration and the values derived from it.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/platform.hpp"

namespace arbolet::rcf {

// Slot index meaning "none": an empty tree's root, an unused sampler entry,
// no pending point.
inline constexpr std::uint64_t kNone = UINT64_MAX;

// The largest decay whose product with any 64-bit entry count stays finite:
// past that product the sampler weights all become -inf and a full sampler
// refuses every new point.
inline constexpr double kMaxTimeDecay = 1e288;

// Why `time_decay` would silently stop a forest from learning, or nullptr.
// Negative and NaN decays make new weights no smaller than old ones (or
// incomparable); -0.0 counts as 0.0, the automatic decay.
inline const char* time_decay_problem(double time_decay) {
    if (!std::isfinite(time_decay) || time_decay < 0.0) return "time_decay must be finite and >= 0";
    if (time_decay > kMaxTimeDecay) return "time_decay must be <= 1e288";
    return nullptr;
}

struct RcfConfig {
    std::uint64_t input_dim = 0;
    std::uint64_t shingle_size = 0;
    std::uint64_t capacity = 0;
    std::uint64_t num_trees = 0;
    double time_decay = 0.0;
    std::uint64_t output_after = 0;
    bool internal_shingling = true;
    double initial_accept_fraction = 0.125;

    // input_dim * shingle_size (wraps only in an inconsistent loaded state).
    std::uint64_t dimensions() const { return input_dim * shingle_size; }
    double effective_decay() const { return time_decay != 0.0 ? time_decay : 0.1 / static_cast<double>(capacity); }
    std::uint64_t effective_output_after() const { return output_after != 0 ? output_after : capacity / 4 + 1; }
    std::uint64_t shingle_warmup() const { return internal_shingling && shingle_size > 0 ? shingle_size - 1 : 0; }
    // Saturates rather than wraps, so an enormous output_after never makes a
    // forest ready early.
    bool is_ready(std::uint64_t entries_seen) const {
        std::uint64_t threshold;
        if (add_overflows(effective_output_after(), shingle_warmup(), threshold)) threshold = UINT64_MAX;
        return entries_seen > threshold;
    }

    friend bool operator==(const RcfConfig&, const RcfConfig&) = default;
};

}  // namespace arbolet::rcf
