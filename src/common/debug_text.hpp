// The debug form of a text, as error messages quote it.
#pragma once

#include <string>
#include <string_view>

namespace arbolet {

// In double quotes, with a backslash before quotes and backslashes; tab,
// carriage return, line feed and NUL as \t, \r, \n and \0; other characters
// that would not show (controls, invisible formatting) as \u{hex}.
std::string debug_quote(std::string_view text);

}  // namespace arbolet
