#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvane::testing {

// A fresh folder beside the test executable (a Z:\ path under Wine), removed with everything
// in it, read-only and hidden entries included, when the object goes.
class WinScratch {
 public:
  WinScratch();
  ~WinScratch();
  WinScratch(const WinScratch&) = delete;
  WinScratch& operator=(const WinScratch&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "\\" + relative; }

  void file(const std::string& relative, std::string_view bytes) const;
  void folder(const std::string& relative) const;  // with its parents
  std::string read(const std::string& relative) const;
  // Every entry below relative, sorted, folders ending in "\".
  std::vector<std::string> tree(const std::string& relative = "") const;

 private:
  std::string path_;
};

// A fresh folder beside the test executable, and the removal of a folder with everything in
// it; shared with the Windows version of TempFolder.
std::string makeScratchFolder();
void removeTree(const std::string& path);

// The Windows path of a path on the machine running Wine (Wine's Z: drive is "/").
std::string wineDrivePath(const std::string& unixPath);

// Runs command (a shell command line; paths in it are Windows ones on Z:, given through
// hostPath) on the machine running Wine, which starts Unix programs as it starts its own:
// true once it has run to its end. False where there is no such machine (Windows itself),
// and a test that needs it skips. So are made what no Windows call makes under Wine: Unix
// links, which it shows as reparse points, and files of another account.
bool runOnHost(const std::string& command);
// The host's path of a Z: path, quoted for the shell.
std::string hostPath(const std::string& windowsPath);

}  // namespace kelvane::testing
