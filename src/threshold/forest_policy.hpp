// How a Thresholder is set up for a detector's raw scores: from a forest's
// own settings (the policy behind Thresholder.for_forest and the Monitor),
// and for MStream's (Thresholder.for_mstream).
#pragma once

#include <cstdint>

#include "rcf/forest/forest.hpp"
#include "threshold/thresholder.hpp"

namespace arbolet::threshold {

// The settings for the raw scores of a forest configured so; the rest keep
// the Thresholder's defaults.
ThresholderConfig config_for_forest(const rcf::RcfConfig& forest);

// The settings for MStream's raw scores, whatever its own settings.
ThresholderConfig config_for_mstream();

}  // namespace arbolet::threshold
