#pragma once

#include <string>

namespace kelvane {

// The permission number's text wherever it is shown or written: the shortest digits that
// read back as the same float, with no leading zeros or blank; fixed notation below ten
// million in magnitude (755, -1, 7.5), exponent form from there (1e+07).
std::string numberText(float value);

// Reads a permission field: a decimal number (sign, digits, fraction, exponent), or empty
// for 0. Throws kelvane::Failure for any other text or a number too large for a float;
// name is the file named in that failure.
float parseNumber(const std::string& field, const std::string& name);

}  // namespace kelvane
