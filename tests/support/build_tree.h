#pragma once

#include <map>
#include <string>

#include "tests/support/temp_folder.h"

namespace kelvane::testing {

// A representative build laid out in a temporary folder: an old mirror three levels deep
// with files under the link root, three sources in two genres, an old table, an output table
// that already holds a known text, and a folder outside everything that no build may touch.
struct BuildTree {
  explicit BuildTree(bool sameTables = false);

  std::string settingsPath() const { return dir / "build.dat"; }
  std::string outputBytes() const;
  // Every path below folder with the bytes of its files ("" for folders and links).
  static std::map<std::string, std::string> snapshot(const std::string& folder);

  TempFolder dir;
  std::string linkRoot, output, oldTable, outside;
  std::string originalOutput;
};

}  // namespace kelvane::testing
