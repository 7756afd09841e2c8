#include "settings/number_text.h"

#include <cctype>
#include <charconv>
#include <cmath>

#include "base/failure.h"

namespace kelvane {

std::string numberText(float value) {
  if (value == 0) value = 0;  // no "-0"
  char buffer[64];
  auto format = std::fabs(value) < 1e7f ? std::chars_format::fixed : std::chars_format::scientific;
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
  return std::string(buffer, result.ptr);
}

namespace {

bool isDecimalNumber(const std::string& s) {
  size_t i = 0, n = s.size();
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < n && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exponent = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++exponent;
    if (exponent == 0) return false;
  }
  return i == n;
}

// The read number, or what is wrong with the field: "not a number" or "too large".
float readNumber(const std::string& field, const char*& problem) {
  problem = nullptr;
  if (field.empty()) return 0;
  if (!isDecimalNumber(field)) {
    problem = "not a number";
    return 0;
  }
  const char* begin = field.data() + (field[0] == '+' ? 1 : 0);
  float value = 0;
  auto result = std::from_chars(begin, field.data() + field.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    // from_chars leaves the value alone when out of range: tell too small (read as 0)
    // from too large.
    double wide = 0;
    auto again = std::from_chars(begin, field.data() + field.size(), wide);
    bool tiny = again.ec == std::errc()
                    ? std::fabs(wide) < 1
                    : field.find_first_of("eE") != std::string::npos &&
                          field.find('-', field.find_first_of("eE")) != std::string::npos;
    if (tiny) return 0;
  }
  if (result.ec != std::errc() || !std::isfinite(value)) problem = "too large";
  return value;
}

}  // namespace

std::string numberProblem(const std::string& field) {
  const char* problem = nullptr;
  readNumber(field, problem);
  return problem ? problem : "";
}

float parseNumber(const std::string& field, const std::string& where) {
  const char* problem = nullptr;
  float value = readNumber(field, problem);
  if (problem == nullptr) return value;
  bool large = std::string_view(problem) == "too large";
  throw Failure(large ? kErrOverflow : kErrTypeMismatch,
                std::string(large ? "Overflow" : "Type mismatch") + " " + where + ": " +
                    kNumberExpected + " was expected, and \"" + field + "\" is " + problem,
                "read number");
}

}  // namespace kelvane
