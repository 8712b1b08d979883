#include "rcf/cut.hpp"

#include "rcf/bounding_box.hpp"

namespace arbolet::rcf {

namespace {

// maxNum on doubles, first operand on a tie (-0.0 vs 0.0).
inline double max_num_f64(double a, double b) {
    if (a != a) return b;
    if (b != b) return a;
    return b > a ? b : a;
}

}  // namespace

bool choose_cut(const float* box_min, const float* box_max, std::span<const float> p, double u, double* ranges,
                Cut& cut) {
    const std::size_t n = p.size();
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const float r = max_num(box_max[i], p[i]) - min_num(box_min[i], p[i]);
        ranges[i] = static_cast<double>(r);
        total += ranges[i];
    }
    if (total == 0.0) return false;

    // Dimension with probability proportional to its range. Rounding can run
    // the scan off the end; the last dimension with a positive range then
    // takes it.
    const double target = u * total;
    double t = target;
    std::size_t d = 0;
    std::size_t last_positive = 0;
    bool chosen = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (t < ranges[i]) {
            d = i;
            chosen = true;
            break;
        }
        t = t - ranges[i];
        if (ranges[i] > 0.0) last_positive = i;
    }
    if (!chosen) d = last_positive;

    const float lo = min_num(box_min[d], p[d]);
    const float top = max_num(box_max[d], p[d]);
    // Strictly below the grown box's maximum, so that both sides of the cut
    // hold something.
    const float hi = max_num(next_down(top), lo);
    double before = 0.0;
    for (std::size_t i = 0; i < d; ++i) before += ranges[i];
    const float offset = static_cast<float>(max_num_f64(target - before, 0.0));
    float c = lo + offset;
    if (c < lo) c = lo;
    if (c > hi) c = hi;
    cut.dim = d;
    cut.value = c;
    return true;
}

}  // namespace arbolet::rcf
