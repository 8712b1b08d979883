// Running per-feature bounds that map numeric values onto [0, 1].
#pragma once

#include <vector>

namespace arbolet::mstream {

struct NumericRangeNormalizer {
    std::vector<double> min_numeric;  // +inf before the first record
    std::vector<double> max_numeric;  // -inf before the first record

    friend bool operator==(const NumericRangeNormalizer&, const NumericRangeNormalizer&) = default;
};

}  // namespace arbolet::mstream
