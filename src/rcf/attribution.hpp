// One dimension's share of a score: how much of it comes from the query
// lying below the boxes it met, and how much from lying above them.
#pragma once

namespace arbolet::rcf {

struct AttributionPair {
    double below = 0.0;
    double above = 0.0;
};

}  // namespace arbolet::rcf
