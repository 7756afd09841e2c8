#pragma once

#include <string>
#include <string_view>

namespace kelvane::testing {

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  // path() & "/" & relative
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

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
