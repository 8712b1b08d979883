// Running per-feature bounds that map numeric values onto [0, 1].
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

namespace arbolet::mstream {

struct NumericRangeNormalizer {
    std::vector<double> min_numeric;  // +inf before the first record
    std::vector<double> max_numeric;  // -inf before the first record

    static NumericRangeNormalizer unbounded(std::size_t numeric_dim) {
        return {std::vector<double>(numeric_dim, std::numeric_limits<double>::infinity()),
                std::vector<double>(numeric_dim, -std::numeric_limits<double>::infinity())};
    }

    // Both take a finite input widened from single precision; the caller
    // rejects non-finite records before anything changes. `first` is true
    // while no record has been ingested.
    double normalize_for_ingest(std::size_t feature, double x, bool first);
    // Gives the same double as normalize_for_ingest would, changing nothing.
    double normalize_for_preview(std::size_t feature, double x, bool first) const;

    friend bool operator==(const NumericRangeNormalizer&, const NumericRangeNormalizer&) = default;
};

}  // namespace arbolet::mstream
