#pragma once

#include <cstdio>
#include <cstdlib>

namespace kelvane::fuzz {

// Stops the run when a property of the readers does not hold; libFuzzer then keeps the input
// that broke it. Not assert: the fuzz build may define NDEBUG.
inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "fuzz property broken: %s\n", property);
  std::abort();
}

}  // namespace kelvane::fuzz
