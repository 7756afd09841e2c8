#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelvane {

// Windows files, processes, messages and the settings window, through the wide (W)
// functions. Paths are the program's bytes: UTF-8 when valid, else the ANSI code page.
class WinPlatform : public Platform {
 public:
  char separator() const override { return '\\'; }
  std::string_view separators() const override { return "\\/"; }
  std::string fromLocalText(const std::string& bytes) const override;
  std::optional<std::string> toLocalText(const std::string& text) const override;

  std::vector<DirEntry> listFolder(const std::string& pattern) override;
  bool exists(const std::string& pattern) override;
  bool fileExists(const std::string& path) override;
  bool folderExists(const std::string& path) override;
  std::string resolvedPath(const std::string& path) override;
  std::vector<FileIdentity> chainOf(const std::string& path, bool followLast) override;
  std::unique_ptr<FolderTree> openFolderTree(const std::string& path) override;
  // One level made from the folder holding it, never through a reparse point.
  std::unique_ptr<FolderTree> createFolderTree(const std::string& path) override;

  std::string readFile(const std::string& path) override;
  std::string readTrustedFile(const std::string& path) override;
  void writeFile(const std::string& path, std::string_view bytes) override;
  std::unique_ptr<InputFile> openInput(const std::string& path) override;
  std::unique_ptr<OutputFile> createOutput(const std::string& path) override;
  // Asks the system for the right to add the temporary file to the table's folder.
  void checkOutput(const std::string& path) override;
  // ".kelvane-<hash of the last part>.lock", hidden, in the folder holding path; only the
  // accounts that may make files in that folder may open one this build makes.
  std::unique_ptr<PathLock> openLock(const std::string& path, bool shared) override;

  std::string textEditor() const override { return "notepad.exe"; }
  std::string programFolder() override;
  std::string executablePath() override;
  // The command line is program (quoted when it holds a blank) and args joined with single
  // blanks, unquoted, as the program's own argument text takes it whole. The program itself
  // starts hidden; any other program (the report's viewer) in a normal window.
  void startDetached(const std::string& program, const std::vector<std::string>& args) override;
  std::unique_ptr<WatchedProcess> startWatched(const std::string& program,
                                               const std::vector<std::string>& args) override;
  // Tried by making (and at once losing) a hidden file there: what the system allows is what
  // counts, whatever the folder's attributes say.
  bool folderWritable(const std::string& folder) override;
  // %LOCALAPPDATA%, the user's own local application data.
  std::string userStateFolder() override;
  // New folders take the permissions of the folder they are made in (the user's own one).
  void createPrivateFolders(const std::string& folder) override;
  bool isSystemProgramFolder(const std::string& folder) override;
  void writeNewFile(const std::string& path, std::string_view bytes) override;

  void warn(const std::string& text) override;
  // Without an interactive desktop (a service, a scheduled task run without a logged-on
  // user) these behave as without a display: standard error, No, cancelled.
  void message(const std::string& title, const std::string& text, Icon icon) override;
  bool question(const std::string& title, const std::string& text, Icon icon) override;
  std::string saveDialog(const std::string& title, const std::string& filter,
                         const std::string& initialFolder) override;
  int runWindow(FrmMain& form) override;
};

// The argument text: the process's command line after the program's name and the blanks
// that follow it, as the system gives it.
std::string argumentTextOf(const std::wstring& commandLine);

// The command line startDetached hands the system for program and args.
std::string commandLineOf(const std::string& program, const std::vector<std::string>& args);

// True when this process can show windows to a person.
bool hasInteractiveDesktop();

}  // namespace kelvane
