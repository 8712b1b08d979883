#include "mstream/normalization.hpp"

#include <cmath>

namespace arbolet::mstream {

namespace {

constexpr double kEpsilon = 0x1.0p-52;

// On equal operands (-0.0 against +0.0) the first one, the stored bound, wins.
double min_first(double bound, double y) { return y < bound ? y : bound; }
double max_first(double bound, double y) { return y > bound ? y : bound; }

double position(double y, double lo, double hi) {
    const double range = hi - lo;
    if (range <= kEpsilon) return 0.0;
    return (y - lo) / range;
}

}  // namespace

double NumericRangeNormalizer::normalize_for_ingest(std::size_t feature, double x, bool first) {
    // asinh keeps the sign and grows like a logarithm, so a few huge values
    // do not squeeze every ordinary value into the lowest bucket.
    const double y = std::asinh(x);
    if (first) {
        // The first record sets the bounds outright rather than comparing
        // with the infinities, which a loaded state may not hold.
        min_numeric[feature] = y;
        max_numeric[feature] = y;
        return 0.0;
    }
    min_numeric[feature] = min_first(min_numeric[feature], y);
    max_numeric[feature] = max_first(max_numeric[feature], y);
    return position(y, min_numeric[feature], max_numeric[feature]);
}

double NumericRangeNormalizer::normalize_for_preview(std::size_t feature, double x, bool first) const {
    const double y = std::asinh(x);
    if (first) return 0.0;
    return position(y, min_first(min_numeric[feature], y), max_first(max_numeric[feature], y));
}

}  // namespace arbolet::mstream
