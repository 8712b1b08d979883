// Random cut arithmetic of tree insertion, in the exact widths that make two
// trees built from the same random stream identical.
#pragma once

#include <cstdint>
#include <span>

namespace arbolet::rcf {

struct Cut {
    std::uint64_t dim = 0;
    float value = 0.0f;
};

// The cut that uniform draw u picks on the box [box_min, box_max] grown by
// point p. `ranges` receives the grown box's per-dimension ranges (it must
// hold p.size() entries). Returns false when the grown box has zero total
// range, i.e. no cut exists.
bool choose_cut(const float* box_min, const float* box_max, std::span<const float> p, double u, double* ranges,
                Cut& cut);

// Whether the cut puts p on one side and the whole box on the other.
inline bool cut_separates(const Cut& cut, const float* box_min, const float* box_max, std::span<const float> p) {
    const float c = cut.value;
    const float x = p[cut.dim];
    return (x <= c && c < box_min[cut.dim]) || (box_max[cut.dim] <= c && c < x);
}

}  // namespace arbolet::rcf
