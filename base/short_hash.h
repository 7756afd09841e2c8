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

// Sixteen hex digits (64-bit FNV-1a) naming what a file of the program's own is for: short
// enough to fit wherever the name it stands for fits, the same on every system.
std::string shortHash(std::string_view text);

}  // namespace kelvane
