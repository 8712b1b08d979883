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

// Where a decoded forest came from. A document lists the point store's and
// the samplers' tables in full and every box; the binary form holds those
// tables only as far as they are in use and recomputes the boxes from the
// children, so its boxes need no comparing.
enum class Decoded { Document, Binary };

// Empty when the forest is consistent; otherwise a message beginning with
// "inconsistent state: ". The decoder has checked the box rows' lengths
// against each tree's dims.
std::string find_forest_inconsistency(const rcf::Forest& forest, Decoded from = Decoded::Document);

// The same for an MStream.
std::string find_mstream_inconsistency(const mstream::MStream& detector);

}  // namespace arbolet::persist
