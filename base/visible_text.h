#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kelvane {

// True for a character that prints as nothing, as a plain space, or changes how the text
// around it prints: a line of text could not tell a name holding it from one without.
constexpr bool printsUnseen(unsigned point) {
  struct Range {
    unsigned first, last;
  };
  constexpr Range kUnseen[] = {
      {0x0000, 0x009F},   {0x00A0, 0x00A0},   {0x00AD, 0x00AD},   {0x034F, 0x034F},
      {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
      {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x115F, 0x1160},   {0x1680, 0x1680},
      {0x17B4, 0x17B5},   {0x180B, 0x180F},   {0x2000, 0x200F},   {0x2028, 0x202F},
      {0x205F, 0x206F},   {0x2800, 0x2800},   {0x3000, 0x3000},   {0x3164, 0x3164},
      {0xFDD0, 0xFDEF},   {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},
      {0xFFF0, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
      {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF}};
  if ((point & 0xFFFE) == 0xFFFE) return true;  // the noncharacters ending every plane
  for (const Range& range : kUnseen)
    if (point >= range.first && point <= range.last) return true;
  return false;
}

// text as every message of the program shows it (the dry run, the error report, warnings),
// so that a name printed on a line can neither start another line, nor steer a terminal,
// nor turn the text around it, and two names never print alike:
// - control bytes below 0x20 and DEL as \n, \r, \t or \xHH;
// - every byte that is not part of valid UTF-8 as \xHH (a raw 0xFF would show as U+FFFD);
// - C1 controls, format characters and what prints as nothing or as a plain space
//   (zero-width and bidirectional marks, overrides and isolates, other spaces, fillers,
//   variation selectors, tags, noncharacters) as \uHHHH, or \UHHHHHHHH past U+FFFF;
// - the backslash itself as \\, unless keepBackslash (for Windows paths, where "\" is the
//   separator and no name can hold one).
// Everything else, other non-ASCII text (Café), is kept as it is.
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
      escape("\\x%02x", byte);
      continue;
    }
    if (printsUnseen(point))
      escape(point > 0xFFFF ? "\\U%08x" : "\\u%04x", point);
    else
      out.append(text.substr(i, length));
    i += length - 1;
  }
  return out;
}

}  // namespace kelvane
