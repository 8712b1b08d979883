#include "rcf/sampler.hpp"

#include "common/internal_failure.hpp"

namespace arbolet::rcf {

Sampler Sampler::create(std::uint64_t capacity) {
    Sampler s;
    s.capacity = capacity;
    s.weights.assign(capacity, 0.0);
    s.point_indices.assign(capacity, kNone);
    return s;
}

}  // namespace arbolet::rcf
