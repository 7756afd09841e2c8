#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>

namespace kelvane::testing {

// The platform's path separator. Tests spell relative paths with "/"; the helpers below
// turn them into the platform's, so that one test text serves both systems.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
inline constexpr bool kMakesLinks = false;
// Wine follows links when it deletes, and the system's modes, owners, pipes and processes
// are POSIX ones: tests of those stop here on Windows, saying why.
#define KELVANE_LINUX_ONLY(reason) GTEST_SKIP() << (reason)
#else
inline constexpr char kSeparator = '/';
inline constexpr bool kMakesLinks = true;
#define KELVANE_LINUX_ONLY(reason) static_cast<void>(0)
#endif

// path with every "/" made the platform's separator.
inline std::string native(std::string path) {
  std::replace(path.begin(), path.end(), '/', kSeparator);
  return path;
}
// A path for std::filesystem and back. Paths are the program's bytes, UTF-8 on Windows, not
// the ANSI code page that std::filesystem reads a std::string in there; a full Windows path
// takes the "\\?\" prefix, so that names as long as the program's reach past MAX_PATH.
inline std::filesystem::path fsPath(const std::string& bytes) {
  std::u8string text(bytes.begin(), bytes.end());
  if (kSeparator == '\\' && text.size() > 2 && text[1] == ':') text = u8"\\\\?\\" + text;
  return text;
}
inline std::string pathBytes(const std::filesystem::path& path) {
  std::u8string text = path.u8string();
  std::string bytes(text.begin(), text.end());
  return bytes.rfind("\\\\?\\", 0) == 0 ? bytes.substr(4) : bytes;
}

// The lock a build keeps in or beside what it guards, hidden, for the next build to take
// turns on.
inline bool isBuildLock(const std::string& path) {
  std::string name = path.substr(path.find_last_of("/\\") + 1);
  return name == ".kelvane.lock" || (name.rfind(".kelvane-", 0) == 0 && name.size() > 5 &&
                                     name.compare(name.size() - 5, 5, ".lock") == 0);
}

// The system's own text for an error number, as failures show it after a path.
std::string systemErrorText(int err);

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  // path() & separator & relative, relative's "/" made the separator.
  std::string operator/(const std::string& relative) const {
    return path_ + kSeparator + native(relative);
  }

 private:
  std::string path_;
};

// Small helpers for arranging and checking files in tests; they fail the test on error.
void writeBytes(const std::string& path, std::string_view bytes);
std::string readBytes(const std::string& path);
void makeFolders(const std::string& path);  // with its parents
bool isFolder(const std::string& path);
bool pathExists(const std::string& path);  // anything, links not followed
// For a file another process writes: waits until path exists, for at most timeoutMs; true
// when it did.
bool waitForFile(const std::string& path, int timeoutMs);
// The same for a file another process writes to: until it holds text.
bool waitForText(const std::string& path, const std::string& text, int timeoutMs);

}  // namespace kelvane::testing
