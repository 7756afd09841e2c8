#include "tests/support/scratch_tree.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace kelvane::testing {

void ScratchTree::file(const std::string& relative, std::string_view bytes) const {
  std::string path = *this / relative;
  makeFolders(std::filesystem::path(path).parent_path().string());
  writeBytes(path, bytes);
}

void ScratchTree::link(const std::string& target, const std::string& relative) const {
  if (::symlink(target.c_str(), (*this / relative).c_str()) != 0)
    ADD_FAILURE() << "cannot link " << relative;
}

std::vector<std::string> ScratchTree::tree(const std::string& relative) const {
  std::vector<std::string> found;
  std::error_code error;
  std::string base = *this / relative;
  for (auto it = std::filesystem::recursive_directory_iterator(base, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    std::string name = it->path().lexically_relative(base).string();
    if (it->is_symlink())
      name += "@";
    else if (it->is_directory())
      name += "/";
    found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string settingsText(std::initializer_list<std::string> values,
                         std::initializer_list<std::string> mergeLines) {
  std::string out;
  for (const auto& value : values) out += value + "\r\n";
  for (const auto& line : mergeLines) out += line + "\r\n";
  return out;
}

std::string vfsLine(const std::string& physical, const std::string& virtualPath,
                    const std::string& ownerTail) {
  return physical + "|" + virtualPath + "|" + ownerTail + "|r|0|0|0|0|0|0|0|0\r\n";
}

}  // namespace kelvane::testing
