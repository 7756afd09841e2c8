#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kelvane {

// text with every control byte (below 0x20, and 0x7F) written out as \n, \r, \t or \xHH,
// so that a name printed on a line can neither start another line nor steer a terminal.
inline std::string visibleText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    }
  }
  return out;
}

}  // namespace kelvane
