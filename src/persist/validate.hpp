// Checks of a decoded state before it replaces anything: the configuration as
// the constructor checks it, every length and index that the engine relies on
// for memory safety and termination, and what the update flow keeps true
// between calls (masses, boxes, samplers, reference counts, table shapes,
// clock and counts).
#pragma once

#include <string>

#include "mstream/detector.hpp"
#include "rcf/forest/forest.hpp"

namespace arbolet::persist {

// Empty when the forest is consistent; otherwise a message beginning with
// "inconsistent state: ". The decoder has checked the box rows' lengths
// against each tree's dims; `check_boxes` false skips comparing boxes with
// their children's (for a decoder that recomputed them).
std::string find_forest_inconsistency(const rcf::Forest& forest, bool check_boxes = true);

// The same for an MStream.
std::string find_mstream_inconsistency(const mstream::MStream& detector);

}  // namespace arbolet::persist
