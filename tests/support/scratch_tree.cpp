#include "tests/support/scratch_tree.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace kelvane::testing {

void ScratchTree::file(const std::string& relative, std::string_view bytes) const {
  std::string path = *this / relative;
  makeFolders(path.substr(0, path.rfind(kSeparator)));
  writeBytes(path, bytes);
}

void ScratchTree::link(const std::string& target, const std::string& relative) const {
#ifdef _WIN32
  ADD_FAILURE() << "links are not made on Windows: " << relative << " to " << target;
#else
  if (::symlink(target.c_str(), (*this / relative).c_str()) != 0)
    ADD_FAILURE() << "cannot link " << relative;
#endif
}

std::vector<std::string> ScratchTree::tree(const std::string& relative) const {
  std::vector<std::string> found;
  std::error_code error;
  std::string base = *this / relative;
  if (base.back() != kSeparator) base += kSeparator;
  for (auto it = std::filesystem::recursive_directory_iterator(fsPath(base), error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    std::string name = pathBytes(it->path()).substr(base.size());
    if (isBuildLock(name)) continue;
    std::replace(name.begin(), name.end(), kSeparator, '/');
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
