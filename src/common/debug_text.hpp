// The debug form of a text, as error messages quote it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace arbolet {

// In double quotes, with a backslash before quotes and backslashes; tab,
// carriage return, line feed and NUL as \t, \r, \n and \0; other characters
// that would not show (controls, invisible formatting) as \u{hex}.
// A text longer than `most_bytes` is cut at a character boundary after at
// most that many bytes and marked: "prefix"... (N bytes in all). Texts that
// come from outside (a document's strings) are quoted with
// kMostQuotedBytes, so that a message never grows with the input.
inline constexpr std::size_t kMostQuotedBytes = 200;
std::string debug_quote(std::string_view text, std::size_t most_bytes = SIZE_MAX);

// `text` as it is, or its first bytes up to a character boundary and the
// same marker when it is longer than kMostQuotedBytes.
std::string bounded_text(std::string_view text);

}  // namespace arbolet
