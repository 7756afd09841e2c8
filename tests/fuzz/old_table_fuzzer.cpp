// Feeds any bytes to the reading of an old VFS table, where every field is one old line that
// the build writes back followed by CR LF. Lines that hold nothing the reading rule treats
// specially must come back unchanged from that; any others change once and then stay.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "build/vfs_file.h"
#include "tests/fuzz/fuzz_check.h"

namespace kelvane {
namespace {

using fuzz::require;

// The build's own reading of the old table, and its writing of the lines back.
std::vector<std::string> readOldLines(std::string_view bytes) {
  std::vector<std::string> lines = parseOldTable(bytes, "vfs-old.txt");
  require(lines.size() <= bytes.size(), "no more old lines than input characters");
  return lines;
}

std::string writeOldLines(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\r\n";
  return bytes;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A line the reading rule leaves alone: no comma, quote or line break, no blank at either end.
bool isPlain(const std::string& line) {
  if (line.find_first_of(",\"\r\n") != std::string::npos) return false;
  return line.empty() || (!isBlank(line.front()) && !isBlank(line.back()));
}

void checkOldTable(std::string_view bytes) {
  std::vector<std::string> lines = readOldLines(bytes);
  std::vector<std::string> copied = readOldLines(writeOldLines(lines));
  bool allPlain = true;
  for (const std::string& line : lines) allPlain = allPlain && isPlain(line);
  if (allPlain) require(copied == lines, "plain old lines are copied unchanged");
  // A build with the same input and output table reads what the last one wrote: after the
  // first copy the table must stop changing.
  for (const std::string& line : copied) require(isPlain(line), "a copied table is plain");
  require(readOldLines(writeOldLines(copied)) == copied, "copying a copied table changes nothing");
}

}  // namespace
}  // namespace kelvane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelvane::checkOldTable(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
