#pragma once

// A throw-away folder tree for tests of the build: making and reading files, folders and
// links in it, and writing settings files. Header only; every helper fails the test on error.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::testing {

class ScratchTree {
 public:
  ScratchTree() {
    std::string pattern = "/tmp/kelvane-build-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "cannot make a scratch folder";
    root_ = pattern;
  }
  ~ScratchTree() {
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
      if (!it->is_symlink()) ::chmod(it->path().c_str(), 0700);
    std::filesystem::remove_all(root_, ignored);
  }
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;

  // The scratch folder & "/" & relative.
  std::string operator/(const std::string& relative) const { return root_ + "/" + relative; }
  const std::string& path() const { return root_; }

  void folder(const std::string& relative) const {
    std::error_code error;
    std::filesystem::create_directories(*this / relative, error);
    if (error) ADD_FAILURE() << "cannot make " << relative << ": " << error.message();
  }
  // Makes the file's folders too.
  void file(const std::string& relative, std::string_view bytes = "x") const {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(*this / relative).parent_path(),
                                        ignored);
    std::ofstream out(*this / relative, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) ADD_FAILURE() << "cannot write " << relative;
  }
  void link(const std::string& target, const std::string& relative) const {
    if (::symlink(target.c_str(), (*this / relative).c_str()) != 0)
      ADD_FAILURE() << "cannot link " << relative;
  }
  std::string read(const std::string& relative) const {
    std::ifstream in(*this / relative, std::ios::binary);
    if (!in) {
      ADD_FAILURE() << "cannot read " << relative;
      return {};
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  // Anything at relative, links not followed.
  bool has(const std::string& relative) const {
    struct stat st;
    return ::lstat((*this / relative).c_str(), &st) == 0;
  }
  bool isFolder(const std::string& relative) const {
    struct stat st;
    return ::lstat((*this / relative).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  // Everything below relative, sorted: folders end in "/", links in "@".
  std::vector<std::string> tree(const std::string& relative) const {
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

 private:
  std::string root_;
};

// A settings file as the window saves it: seven values, then one merge line "path|genre"
// each, every line ended by CR LF.
inline std::string settingsText(std::initializer_list<std::string> values,
                                std::initializer_list<std::string> mergeLines) {
  std::string out;
  for (const auto& value : values) out += value + "\r\n";
  for (const auto& line : mergeLines) out += line + "\r\n";
  return out;
}

// One table line the build writes: physical|virtual|user|group|mode|r|0|0|0|0|0|0|0|0 CR LF.
inline std::string vfsLine(const std::string& physical, const std::string& virtualPath,
                           const std::string& ownerTail = "anon|users|755") {
  return physical + "|" + virtualPath + "|" + ownerTail + "|r|0|0|0|0|0|0|0|0\r\n";
}

}  // namespace kelvane::testing
