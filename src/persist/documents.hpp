// The two state documents (exact JSON text) and the compact binary states.
#pragma once

#include <string>
#include <string_view>

#include "common/engine_error.hpp"
#include "mstream/detector.hpp"
#include "rcf/forest/forest.hpp"

namespace arbolet::persist {

std::string forest_to_json(const rcf::Forest& forest);
// Io error with the reader's message and position on failure.
Result<rcf::Forest> forest_from_json(std::string_view text);

std::string mstream_to_json(const mstream::MStream& detector);
Result<mstream::MStream> mstream_from_json(std::string_view text);

// The compact binary form of the same states (binary_state.cpp). The readers
// fail with an Io error for bytes that are not such a state, are damaged, or
// describe a state the system could not have produced.
std::string forest_to_bytes(const rcf::Forest& forest);
Result<rcf::Forest> forest_from_bytes(std::string_view data);
std::string mstream_to_bytes(const mstream::MStream& detector);
Result<mstream::MStream> mstream_from_bytes(std::string_view data);

}  // namespace arbolet::persist
