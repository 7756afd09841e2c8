// Feeds any bytes to the build's reading of an old VFS table, in reads of every small size:
// each line must come back exactly as it stands in the input, whatever its bytes, and
// writing the lines back with CR LF and reading them again must give the same lines.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/vfs_file.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/memory_input.h"

namespace kelvane {
namespace {

using fuzz::require;

std::vector<std::string> readOldLines(std::string_view bytes, size_t chunk) {
  OldTableReader reader(std::make_unique<testing::MemoryInput>(bytes, chunk));
  std::vector<std::string> lines;
  std::string line;
  while (reader.next(line)) lines.push_back(line);
  return lines;
}

// The input's lines as they stand, found the simplest way: every line end made one LF.
std::vector<std::string> expectedLines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c != '\r' && c != '\n') {
      line += c;
      continue;
    }
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    lines.push_back(line);
    line.clear();
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

void checkOldTable(std::string_view bytes) {
  std::vector<std::string> expected = expectedLines(bytes);
  for (size_t chunk : {size_t{1}, size_t{2}, size_t{7}, size_t{1} << 16})
    require(readOldLines(bytes, chunk) == expected, "every old line is copied unchanged");
  std::string written;
  for (const std::string& line : expected) written += line + "\r\n";
  require(readOldLines(written, 3) == expected, "a copied table reads back the same");
}

}  // namespace
}  // namespace kelvane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelvane::checkOldTable(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
