#pragma once

#include <string>
#include <string_view>

namespace kelvane {

// Sixteen hex digits (64-bit FNV-1a) naming what a file of the program's own is for: short
// enough to fit wherever the name it stands for fits, the same on every system.
std::string shortHash(std::string_view text);

}  // namespace kelvane
