// The Thresholder state document: exact JSON text out, checked state in.
#pragma once

#include <string>
#include <string_view>

#include "common/engine_error.hpp"
#include "threshold/thresholder.hpp"

namespace arbolet::persist {

std::string thresholder_to_json(const threshold::Thresholder& t);
// Io error with the reader's message and position, or "inconsistent state: ...".
Result<threshold::Thresholder> thresholder_from_json(std::string_view text);

}  // namespace arbolet::persist
