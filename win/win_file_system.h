#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/messages.h"

namespace kelvane {

// Windows files and folders, through the wide (W) functions. Paths are the program's bytes:
// UTF-8 when valid, else the ANSI code page.
class WinFiles : public Files {
 public:
  // warnings takes the lines a build writes on standard error (a table put back from its
  // journal); it must outlive these files.
  explicit WinFiles(Messages& warnings) : warnings_(warnings) {}
  WinFiles(const WinFiles&) = delete;
  WinFiles& operator=(const WinFiles&) = delete;

  char separator() const override { return '\\'; }
  std::string_view separators() const override { return "\\/"; }
  std::string fromLocalText(const std::string& bytes) const override;
  std::optional<std::string> toLocalText(const std::string& text) const override;
  std::string codePageName() const override;
  std::string fromCodePage(const std::string& bytes) const override { return fromLocalText(bytes); }
  std::optional<std::string> toCodePage(const std::string& text) const override {
    return toLocalText(text);
  }

  std::vector<DirEntry> listFolder(const std::string& pattern) override;
  // A folder is looked at and listed through one handle. Its look is trusted on a local NTFS
  // volume where no account other than the running one and the system's own may set its
  // times.
  std::vector<DirEntry> listStampedFolder(const std::string& pattern, FolderStamp& seen) override;
  FolderStamp folderStamp(const std::string& pattern) override;
  bool exists(const std::string& pattern) override;
  bool fileExists(const std::string& path) override;
  bool folderExists(const std::string& path) override;
  std::string resolvedPath(const std::string& path) override;
  std::vector<FileIdentity> chainOf(const std::string& path, bool followLast) override;
  std::unique_ptr<FolderTree> openFolderTree(const std::string& path) override;
  // One level made from the folder holding it, never through a reparse point.
  std::unique_ptr<FolderTree> createFolderTree(const std::string& path) override;
  // Also asks the folder's security whether the running account may add a subfolder to it.
  void checkFolderCreation(const std::string& path) override;

  std::string readFile(const std::string& path) override;
  std::string readTrustedFile(const std::string& path) override;
  // Under Wine too, whose folder times change as NTFS's do; each look says whether its
  // folder's times can be trusted.
  bool keepsRecords() const override { return true; }
  // In the running account's state folder, checked as a table's journal's is.
  std::unique_ptr<RecordInput> openRecord(const std::string& path) override;
  std::unique_ptr<OutputFile> createRecord(const std::string& path) override;
  void writeFile(const std::string& path, std::string_view bytes) override;
  std::unique_ptr<InputFile> openInput(const std::string& path) override;
  std::unique_ptr<OutputFile> createOutput(const std::string& path) override;
  // Asks the system for the right to add the temporary file to the table's folder.
  void checkOutput(const std::string& path) override;
  // Hidden lock files in the real folder holding what path leads to (and in a link root
  // itself) that only the builders may open; one another account owns or may open is refused.
  std::vector<std::unique_ptr<PathLock>> openLocks(const std::string& path, Guarded what,
                                                   bool shared) override;

  // Tried by making (and at once losing) a hidden file there: what the system allows is what
  // counts, whatever the folder's attributes say.
  bool folderWritable(const std::string& folder) override;
  // %LOCALAPPDATA%, the user's own local application data.
  std::string userStateFolder() override;
  // New folders take the permissions of the folder they are made in (the user's own one).
  void createPrivateFolders(const std::string& folder) override;
  bool isSystemProgramFolder(const std::string& folder,
                             const std::string& runningExecutable) override;
  void writeNewFile(const std::string& path, std::string_view bytes) override;

 private:
  Messages& warnings_;
};

}  // namespace kelvane
