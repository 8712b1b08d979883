// Structural checks of a decoded forest: every length and index that the
// engine relies on for memory safety and termination. Disagreements that the
// engine detects and reports by itself (masses, sampler contents) pass.
#pragma once

#include <string>

#include "rcf/forest/forest.hpp"

namespace arbolet::persist {

// Empty when the forest is safe to use; otherwise a message beginning with
// "inconsistent state: ". Box rows are not examined (the decoder checks
// their lengths against each tree's dims).
std::string find_forest_inconsistency(const rcf::Forest& forest);

}  // namespace arbolet::persist
