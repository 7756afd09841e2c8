#pragma once

// A throw-away folder tree for tests of the build: making and reading files, folders and
// links in it by their paths relative to it, and writing settings files. Every helper fails
// the test on error.

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/temp_folder.h"

namespace kelvane::testing {

class ScratchTree : public TempFolder {
 public:
  void folder(const std::string& relative) const { makeFolders(*this / relative); }
  // Makes the file's folders too.
  void file(const std::string& relative, std::string_view bytes = "x") const;
  void link(const std::string& target, const std::string& relative) const;
  std::string read(const std::string& relative) const { return readBytes(*this / relative); }
  // Anything at relative, links not followed.
  bool has(const std::string& relative) const { return pathExists(*this / relative); }
  bool isFolder(const std::string& relative) const {
    return kelvane::testing::isFolder(*this / relative);
  }
  // Everything below relative, sorted: folders end in "/", links in "@".
  std::vector<std::string> tree(const std::string& relative) const;
};

// A settings file as the window saves it: seven values, then one merge line "path|genre"
// each, every line ended by CR LF.
std::string settingsText(std::initializer_list<std::string> values,
                         std::initializer_list<std::string> mergeLines);

// One table line the build writes: physical|virtual|user|group|mode|r|0|0|0|0|0|0|0|0 CR LF.
std::string vfsLine(const std::string& physical, const std::string& virtualPath,
                    const std::string& ownerTail = "anon|users|755");

}  // namespace kelvane::testing
