#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvane {

// 64-bit FNV-1a, fed a piece at a time: start from kHashBasis, feed every piece in order.
constexpr uint64_t kHashBasis = 14695981039346656037ull;
inline void feedHash(uint64_t& hash, std::string_view bytes) {
  for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
}

// 64-bit FNV-1a taken over eight bytes at a time (little-endian), those of a last, partial
// word one at a time: for files of tens of megabytes, read or written whole. Fed in pieces
// of any size, it gives what one piece would.
class WordHash {
 public:
  void feed(std::string_view bytes) {
    size_t i = 0;
    while (pendingSize_ > 0 && pendingSize_ < 8 && i < bytes.size())
      pending_[pendingSize_++] = bytes[i++];
    if (pendingSize_ == 8) {
      mix(word(pending_));
      pendingSize_ = 0;
    }
    for (; i + 8 <= bytes.size(); i += 8) mix(word(bytes.data() + i));
    while (i < bytes.size()) pending_[pendingSize_++] = bytes[i++];
  }
  uint64_t value() const {
    uint64_t hash = hash_;
    feedHash(hash, std::string_view(pending_, pendingSize_));
    return hash;
  }

 private:
  static uint64_t word(const char* bytes) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
      value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    return value;
  }
  void mix(uint64_t value) { hash_ = (hash_ ^ value) * 1099511628211ull; }

  uint64_t hash_ = kHashBasis;
  char pending_[8];
  size_t pendingSize_ = 0;
};

// Sixteen hex digits (64-bit FNV-1a) naming what a file of the program's own is for: short
// enough to fit wherever the name it stands for fits, the same on every system.
std::string shortHash(std::string_view text);

}  // namespace kelvane
