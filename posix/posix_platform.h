#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelvane {

// The Linux file system and processes, and the windowless answers to messages and
// questions: what a build run or a start-up without a display uses. Has no Qt in it.
class PosixPlatform : public Platform {
 public:
  PosixPlatform();
  ~PosixPlatform() override;
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  char separator() const override;
  std::string_view separators() const override { return "/"; }
  std::string fromLocalText(const std::string& bytes) const override { return bytes; }
  std::optional<std::string> toLocalText(const std::string& text) const override { return text; }

  std::vector<DirEntry> listFolder(const std::string& pattern) override;
  bool exists(const std::string& pattern) override;
  bool fileExists(const std::string& path) override;
  bool folderExists(const std::string& path) override;
  std::string resolvedPath(const std::string& path) override;
  std::vector<FileIdentity> chainOf(const std::string& path, bool followLast) override;
  std::unique_ptr<FolderTree> openFolderTree(const std::string& path) override;
  std::unique_ptr<FolderTree> createFolderTree(const std::string& path) override;

  std::string readFile(const std::string& path) override;
  std::string readTrustedFile(const std::string& path) override;
  void writeFile(const std::string& path, std::string_view bytes) override;
  std::unique_ptr<InputFile> openInput(const std::string& path) override;
  std::unique_ptr<OutputFile> createOutput(const std::string& path) override;
  void checkOutput(const std::string& path) override;
  std::unique_ptr<PathLock> openLock(const std::string& path, bool shared) override;

  std::string programFolder() override;
  std::string executablePath() override;
  std::string textEditor() const override { return "xdg-open"; }
  void startDetached(const std::string& program, const std::vector<std::string>& args) override;
  std::unique_ptr<WatchedProcess> startWatched(const std::string& program,
                                               const std::vector<std::string>& args) override;
  bool folderWritable(const std::string& folder) override;
  std::string userStateFolder() override;
  void createPrivateFolders(const std::string& folder) override;
  bool isSystemProgramFolder(const std::string& folder) override;
  void writeNewFile(const std::string& path, std::string_view bytes) override;

  void warn(const std::string& text) override;
  void message(const std::string& title, const std::string& text, Icon icon) override;
  bool question(const std::string& title, const std::string& text, Icon icon) override;
  std::string saveDialog(const std::string& title, const std::string& filter,
                         const std::string& initialFolder) override;
  int runWindow(FrmMain& form) override;

 protected:
  // Root keeps its state under /var/lib, as the system's own accounts do.
  virtual bool runsAsRoot() const;
};

}  // namespace kelvane
