#include "base/path_parts.h"

namespace kelvane {

std::vector<std::string_view> pathParts(std::string_view path, std::string_view separators,
                                        bool keepDot) {
  std::vector<std::string_view> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find_first_of(separators, at);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(at, end - at);
    if (!part.empty() && (keepDot || part != ".")) parts.push_back(part);
    at = end + 1;
  }
  return parts;
}

}  // namespace kelvane
