#include "platform/short_hash.h"

#include <cstdint>
#include <cstdio>

namespace kelvane {

std::string shortHash(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
  return out;
}

}  // namespace kelvane
