#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/messages.h"

namespace kelvane {

// The Linux file system. Has no Qt in it.
class PosixFiles : public Files {
 public:
  // warnings takes the lines a build writes on standard error (a table put back from its
  // journal); it must outlive these files.
  explicit PosixFiles(Messages& warnings) : warnings_(warnings) {}
  PosixFiles(const PosixFiles&) = delete;
  PosixFiles& operator=(const PosixFiles&) = delete;

  char separator() const override { return '/'; }
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
  void createPrivateFolders(const std::string& folder) override;
  // Fails where createPrivateFolders(folder) would, for the reason it would give, creating
  // nothing.
  void checkPrivateFolders(const std::string& folder);
  bool isSystemProgramFolder(const std::string& folder,
                             const std::string& runningExecutable) override;
  void writeNewFile(const std::string& path, std::string_view bytes) override;

 protected:
  // Root keeps its state under /var/lib, as the system's own accounts do.
  virtual bool runsAsRoot() const;

 private:
  // createOutput, with the mode a file made new gets.
  std::unique_ptr<OutputFile> createReplacement(const std::string& path, mode_t newFileMode);

  Messages& warnings_;
};

}  // namespace kelvane
