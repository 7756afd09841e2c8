#pragma once

#include <string_view>
#include <vector>

namespace kelvane {

// The parts of path between any of the separator characters, as views into path. Empty parts
// (a leading or trailing separator, "a//b") name no level and are dropped; so is ".", unless
// keepDot (a walk that resolves the path as the system does keeps it). ".." is always kept:
// callers that must not go up refuse it themselves.
std::vector<std::string_view> pathParts(std::string_view path, std::string_view separators,
                                        bool keepDot = false);

}  // namespace kelvane
