#pragma once

#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/support/faults.h"

namespace kelvane::testing {

// The system's real files, every operation passed through faults first so that a test can
// make any of them fail or race it, and a few of the system's answers played as told.
class FaultyFiles : public Files {
 public:
  FaultyFiles(Files& real, Faults& faults) : real_(real), faults_(faults) {}

  // Input files open now, and when the last output was put in place (Windows will not
  // replace a file that is still open).
  int inputsOpen = 0;
  int inputsOpenAtCommit = -1;
  std::vector<std::string> mountsBelowLinkRoot;  // added to what the system reports
  // Plays a system whose local encoding is Latin-1 (as Windows' code page 1252 nearly is)
  // and whose names are UTF-8, so that the choice of the table's encoding shows on Linux.
  bool latin1LocalText = false;
  // Folders taken as not writable whatever their permissions (tests run as root, whom
  // permissions do not stop).
  std::vector<std::string> unwritableFolders;

  Faults& faults() { return faults_; }

  char separator() const override { return real_.separator(); }
  std::string_view separators() const override { return real_.separators(); }
  std::string fromLocalText(const std::string& bytes) const override;
  std::optional<std::string> toLocalText(const std::string& text) const override;
  std::string codePageName() const override { return real_.codePageName(); }
  std::string fromCodePage(const std::string& bytes) const override {
    return real_.fromCodePage(bytes);
  }
  std::optional<std::string> toCodePage(const std::string& text) const override {
    return real_.toCodePage(text);
  }
  std::vector<DirEntry> listFolder(const std::string& pattern) override;
  bool exists(const std::string& pattern) override;
  bool fileExists(const std::string& path) override;
  bool folderExists(const std::string& path) override;
  std::string resolvedPath(const std::string& path) override;
  std::vector<FileIdentity> chainOf(const std::string& path, bool followLast) override;
  std::unique_ptr<FolderTree> openFolderTree(const std::string& path) override;
  std::unique_ptr<FolderTree> createFolderTree(const std::string& path) override;
  // Made to fail as Op::CreateFolder, as the creation it foresees.
  void checkFolderCreation(const std::string& path) override;
  std::string readFile(const std::string& path) override;
  std::string readTrustedFile(const std::string& path) override;
  void writeFile(const std::string& path, std::string_view bytes) override;
  std::unique_ptr<InputFile> openInput(const std::string& path) override;
  std::unique_ptr<OutputFile> createOutput(const std::string& path) override;
  void checkOutput(const std::string& path) override;
  std::vector<std::unique_ptr<PathLock>> openLocks(const std::string& path, Guarded what,
                                                   bool shared) override;
  bool folderWritable(const std::string& folder) override;
  std::string userStateFolder() override;
  // Counted and made to fail as Op::CreateFolder.
  void createPrivateFolders(const std::string& folder) override;
  // Counted and made to fail as Op::List.
  bool isSystemProgramFolder(const std::string& folder,
                             const std::string& runningExecutable) override;
  // Counted and made to fail as Op::Open, Op::Write and Op::Rename, in that order.
  void writeNewFile(const std::string& path, std::string_view bytes) override;

 private:
  Files& real_;
  Faults& faults_;
};

}  // namespace kelvane::testing
