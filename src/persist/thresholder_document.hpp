// The Thresholder state: exact JSON text or compact bytes out, checked state in.
#pragma once

#include <string>
#include <string_view>

#include "common/engine_error.hpp"
#include "threshold/thresholder.hpp"

namespace arbolet::persist {

std::string thresholder_to_json(const threshold::Thresholder& t);
// Io error with the reader's message and position, or "inconsistent state: ...".
Result<threshold::Thresholder> thresholder_from_json(std::string_view text);

// The compact binary form (binary_state.cpp): Io error for bytes that are
// not such a state, are damaged, or describe an impossible state.
std::string thresholder_to_bytes(const threshold::Thresholder& t);
Result<threshold::Thresholder> thresholder_from_bytes(std::string_view data);

// Empty when the state is one that updates could have produced, else
// "inconsistent state: ...". Both readers check it.
std::string find_thresholder_inconsistency(const threshold::Thresholder& t);

}  // namespace arbolet::persist
