// Feeds any bytes to the field reading rule. Reading must stop, and the fields must be what
// the rule promises: never a double quote; for text before the first quote, exactly the
// pieces between commas and line ends with their outer blanks and tabs dropped.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "settings/field_reader.h"
#include "tests/fuzz/fuzz_check.h"

namespace kelvane {
namespace {

using fuzz::require;

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool endsField(char c) { return c == ',' || c == '\r' || c == '\n'; }

std::string trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return std::string(s);
}

// The fields of quote-free text worked out the plain way: split at every comma and line end
// (CR LF counts as one), trim each piece; what follows the last line end gives a field only
// when it is not empty.
std::vector<std::string> plainFields(std::string_view text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!endsField(text[i])) continue;
    fields.push_back(trimmed(text.substr(start, i - start)));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) fields.push_back(trimmed(text.substr(start)));
  return fields;
}

// The text up to and including the last field end before the first double quote: the fields
// read from it cannot be touched by any quote.
std::string_view beforeFirstQuote(std::string_view text) {
  size_t quote = text.find('"');
  if (quote == std::string_view::npos) return text;
  size_t end = text.substr(0, quote).find_last_of(",\r\n");
  if (end == std::string_view::npos) return {};
  return text.substr(0, end + 1);
}

// True when every character of part appears in whole in the same order.
bool isSubsequence(std::string_view part, std::string_view whole) {
  size_t at = 0;
  for (char c : whole)
    if (at < part.size() && part[at] == c) ++at;
  return at == part.size();
}

void checkFields(std::string_view text) {
  FieldReader reader(text);
  std::vector<std::string> fields;
  while (!reader.atEnd()) {
    // Every field takes at least one character, so more fields than characters means the
    // reader has stopped moving.
    require(fields.size() < text.size(), "no more fields than input characters");
    fields.push_back(reader.next("fuzz.txt"));
  }

  std::string joined, unquoted;
  for (const std::string& field : fields) {
    require(field.find('"') == std::string::npos, "no field holds a double quote");
    joined += field;
  }
  for (char c : text)
    if (c != '"') unquoted += c;
  require(isSubsequence(joined, unquoted), "fields only hold input characters, in order");

  std::vector<std::string> expected = plainFields(beforeFirstQuote(text));
  require(expected.size() <= fields.size(), "every field before the first quote is read");
  for (size_t i = 0; i < expected.size(); ++i)
    require(fields[i] == expected[i], "a field without quotes is its trimmed text");
  if (text.find('"') == std::string_view::npos)
    require(fields.size() == expected.size(), "text without quotes has no other fields");

  try {
    reader.next("fuzz.txt");
    require(false, "reading past the end fails");
  } catch (const Failure& failure) {
    require(failure.number() == kErrInputPastEnd, "reading past the end is input past end");
  }
}

}  // namespace
}  // namespace kelvane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelvane::checkFields(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
