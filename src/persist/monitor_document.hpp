// The Monitor state: exact JSON text or compact bytes out, checked state in.
// Both forms hold the monitor's own fields and, nested whole, the state of
// each forest and thresholder in that same form, so each part is read and
// checked by its own reader.
#pragma once

#include <string>
#include <string_view>

#include "common/engine_error.hpp"
#include "monitor/monitor.hpp"

namespace arbolet::persist {

std::string monitor_to_json(const monitor::Monitor& m);
Result<monitor::Monitor> monitor_from_json(std::string_view text);
std::string monitor_to_bytes(const monitor::Monitor& m);
Result<monitor::Monitor> monitor_from_bytes(std::string_view data);

// Empty when the parts fit together as updates leave them, else
// "inconsistent state: ...". Both readers check it.
std::string find_monitor_inconsistency(const monitor::Monitor& m);

// The names of the directions in documents and messages.
const char* direction_name(monitor::Direction d);
bool direction_from_name(std::string_view name, monitor::Direction& d);

}  // namespace arbolet::persist
