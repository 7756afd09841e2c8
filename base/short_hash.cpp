#include "base/short_hash.h"

#include <cstdio>

namespace kelvane {

std::string shortHash(std::string_view text) {
  uint64_t hash = kHashBasis;
  feedHash(hash, text);
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
  return out;
}

}  // namespace kelvane
