#include "base/utf8.h"

#include <cstdint>
#include <cstring>

namespace kelvane {

bool isUtf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    // Plain ASCII, the most of most text, eight bytes at a time.
    if (i + 8 <= bytes.size()) {
      uint64_t eight;
      std::memcpy(&eight, bytes.data() + i, 8);
      if ((eight & 0x8080808080808080u) == 0) {
        i += 8;
        continue;
      }
    }
    auto byte = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The number of continuation bytes, and the range the second byte must fall in so that
    // the form is the shortest one and names a code point that exists.
    size_t more;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
      return false;
    }
    if (i + more >= bytes.size()) return false;
    if (byte(i + 1) < low || byte(i + 1) > high) return false;
    for (size_t k = 2; k <= more; ++k)
      if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return false;
    i += more + 1;
  }
  return true;
}

}  // namespace kelvane
