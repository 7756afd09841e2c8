#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kelvane {

// text as every message of the program shows it (the dry run, the error report, warnings),
// so that a name printed on a line can neither start another line, nor steer a terminal,
// nor turn the text around it, and two names never print alike:
// - control bytes below 0x20 and DEL as \n, \r, \t or \xHH;
// - C1 controls as raw bytes 0x80 to 0x9F (where they are not part of valid UTF-8) as \xHH,
//   and as UTF-8 (U+0080 to U+009F) as \uHHHH;
// - the bidirectional overrides and isolates (U+202A to U+202E, U+2066 to U+2069) as \uHHHH;
// - the backslash itself as \\, unless keepBackslash (for Windows paths, where "\" is the
//   separator and no name can hold one).
// Everything else, other non-ASCII text (Café) and bytes that are not UTF-8 among it, is
// kept as it is.
inline std::string visibleText(std::string_view text, bool keepBackslash = false) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&out](const char* format, unsigned value) {
    char buffer[12];
    std::snprintf(buffer, sizeof buffer, format, value);
    out += buffer;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (byte == '\n')
        out += "\\n";
      else if (byte == '\r')
        out += "\\r";
      else if (byte == '\t')
        out += "\\t";
      else if (byte < 0x20 || byte == 0x7F)
        escape("\\x%02x", byte);
      else if (byte == '\\' && !keepBackslash)
        out += "\\\\";
      else
        out += static_cast<char>(byte);
      continue;
    }
    // A valid UTF-8 sequence: its length and code point, or 0 for none.
    size_t length = byte >= 0xF0 && byte <= 0xF4 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 0;
    if (byte > 0xF4) length = 0;
    unsigned point = length == 4 ? byte & 0x07u : length == 3 ? byte & 0x0Fu : byte & 0x1Fu;
    if (length == 0 || i + length > text.size()) {
      length = 0;
    } else {
      for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
          length = 0;
          break;
        }
        point = (point << 6) | (next & 0x3Fu);
      }
      // Overlong forms, surrogates and points past U+10FFFF are no UTF-8.
      if ((length == 3 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) ||
          (length == 4 && (point < 0x10000 || point > 0x10FFFF)))
        length = 0;
    }
    if (length == 0) {
      if (byte <= 0x9F)
        escape("\\x%02x", byte);
      else
        out += static_cast<char>(byte);
      continue;
    }
    if (point <= 0x9F || (point >= 0x202A && point <= 0x202E) ||
        (point >= 0x2066 && point <= 0x2069))
      escape("\\u%04x", point);
    else
      out.append(text.substr(i, length));
    i += length - 1;
  }
  return out;
}

}  // namespace kelvane
