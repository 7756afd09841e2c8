// The mount points below a folder, from the system's mount table.

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/failure.h"
#include "posix/posix_support.h"

namespace kelvane::posix {
namespace {

// A mount table field with its blanks, tabs, line breaks and backslashes written as "\ooo".
std::string unescapeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      bool octal = true;
      for (size_t k = 1; k <= 3; ++k) {
        char c = field[i + k];
        if (c < '0' || c > '7') octal = false;
        value = value * 8 + (c - '0');
      }
      if (octal) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace

std::vector<std::string> mountPointsBelow(int folder, const std::string& path) {
  std::string self = "/proc/self/fd/" + std::to_string(folder);
  char buffer[PATH_MAX];
  ssize_t n = ::readlink(self.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) throw systemFailure(errno, "Cannot resolve folder", path, "mount table");
  std::string root(buffer, static_cast<size_t>(n));
  std::string prefix = root == "/" ? "/" : root + "/";
  std::string table = readWholeFile("/proc/self/mountinfo", "mount table");
  std::vector<std::string> below;
  size_t at = 0;
  while (at < table.size()) {
    size_t end = table.find('\n', at);
    if (end == std::string::npos) end = table.size();
    // The fifth blank-separated field is the mount point.
    size_t field = at;
    for (int i = 0; i < 4 && field < end; ++i) field = table.find(' ', field) + 1;
    size_t fieldEnd = std::min(table.find(' ', field), end);
    std::string point = unescapeMountField(table.substr(field, fieldEnd - field));
    if (point.size() > prefix.size() && point.compare(0, prefix.size(), prefix) == 0)
      below.push_back(point);
    at = end + 1;
  }
  return below;
}

}  // namespace kelvane::posix
