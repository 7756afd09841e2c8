#include "base/windows_1252.h"

#include "base/utf8.h"

namespace kelvane {
namespace {

// The characters of 0x80 to 0x9F; the undefined bytes keep their own number.
constexpr char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void appendUtf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

// The byte for point, or -1 when the code page has none.
int byteFor(char32_t point) {
  if (point < 0x80 || (point >= 0xA0 && point <= 0xFF)) return static_cast<int>(point);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == point) return 0x80 + i;
  return -1;
}

}  // namespace

std::string fromWindows1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    appendUtf8(out, byte >= 0x80 && byte <= 0x9F ? kHigh[byte - 0x80] : byte);
  }
  return out;
}

std::optional<std::string> toWindows1252(std::string_view text) {
  if (!isUtf8(text)) return std::nullopt;
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t point = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k)
      point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    int byte = byteFor(point);
    if (byte < 0) return std::nullopt;
    out += static_cast<char>(byte);
    i += length;
  }
  return out;
}

}  // namespace kelvane
