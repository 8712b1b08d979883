// Shortest round-trip text of floats in the documents' notation, and the
// plain text with which reader messages quote a number.
#pragma once

#include <cstddef>
#include <string>

namespace arbolet::persist {

// Longest text that write_f32/write_f64 produce, sign included.
inline constexpr std::size_t kMaxFloatText = 32;

// Writes the text of a finite value at `out` and returns the end. Plain
// notation for decimal exponents in [-6, 12] (single) or [-5, 15] (double),
// exponent notation otherwise. Non-finite values are the caller's business.
char* write_f32(char* out, float value);
char* write_f64(char* out, double value);

// All digits without exponent, with ".0" when the text has no point:
// 1e300 gives 1 followed by 300 zeros and ".0". Used only in messages.
std::string plain_float_text(double value);

}  // namespace arbolet::persist
