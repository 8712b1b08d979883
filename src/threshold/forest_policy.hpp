// How a Thresholder is set up for a Forest's raw scores, from the forest's
// own settings: the policy behind Thresholder.for_forest and the Monitor.
#pragma once

#include <cstdint>

#include "rcf/forest/forest.hpp"
#include "threshold/thresholder.hpp"

namespace arbolet::threshold {

// The settings for the raw scores of a forest configured so; the rest keep
// the Thresholder's defaults.
ThresholderConfig config_for_forest(const rcf::RcfConfig& forest);

}  // namespace arbolet::threshold
