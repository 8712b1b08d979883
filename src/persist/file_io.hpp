// Whole-file reads and writes, with the operating system's error text.
#pragma once

#include <string>
#include <string_view>

#include "common/engine_error.hpp"

namespace arbolet::persist {

// Io error "<description> (os error N)" on failure.
Status write_file(const std::string& path, std::string_view contents);
Result<std::string> read_file(const std::string& path);

}  // namespace arbolet::persist
