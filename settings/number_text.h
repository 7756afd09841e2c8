#pragma once

#include <string>

namespace kelvane {

// The permission number's text wherever it is shown or written: the shortest digits that
// read back as the same float, with no leading zeros or blank; fixed notation below ten
// million in magnitude (755, -1, 7.5), exponent form from there (1e+07).
std::string numberText(float value);

// What a permission field must hold, for messages that say what to type.
inline constexpr const char* kNumberExpected = "a number such as 755";

// Reads a permission field: a decimal number (sign, digits, fraction, exponent), or empty
// for 0. Throws kelvane::Failure for any other text or a number too large for a float;
// where says where the field is ("in the settings file \"x.dat\": line 7, the mode"), and the
// failure shows the field with its control bytes escaped.
float parseNumber(const std::string& field, const std::string& where);

// Why parseNumber would refuse field ("not a number", "too large"); empty when it reads.
std::string numberProblem(const std::string& field);

}  // namespace kelvane
