// The two state documents: exact JSON text out, engine records in.
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

}  // namespace arbolet::persist
