#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

class FrmMain;

enum class EntryType { Folder, File, Link };

// One name from a folder listing and what the listing itself knows of it, so that callers
// need no further test for folders and plain files. A link's target is not looked at.
struct DirEntry {
  std::string name;
  EntryType type;
};

enum class Icon { Error, Question, Information };

// The output table while a build writes it. Bytes go to a temporary file beside the target,
// which only commit() puts in the target's place; destroyed uncommitted, it leaves the
// target as it was and removes the temporary file.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual void write(std::string_view bytes) = 0;
  virtual void commit() = 0;
};

// Held for the whole build run; released when destroyed.
class BuildLock {
 public:
  virtual ~BuildLock() = default;
};

// Everything the program asks of the operating system and the window system. Failures are
// thrown as kelvane::Failure naming the operation and the path.
class Platform {
 public:
  virtual ~Platform() = default;

  // --- Folders -------------------------------------------------------------------------
  // A pattern ending in "/" lists that folder's contents, "." and ".." included; any other
  // pattern lists the single entry it names. Every character is literal. Hidden entries
  // (names starting with ".") and anything but folders, plain files and symbolic links are
  // never returned. A pattern naming nothing lists nothing and does not fail.
  virtual std::vector<DirEntry> listFolder(const std::string& pattern) = 0;
  // True when listFolder(pattern) would return a name, found without reading any folder.
  virtual bool exists(const std::string& pattern) = 0;
  // A plain file / a folder at path, following links.
  virtual bool fileExists(const std::string& path) = 0;
  virtual bool folderExists(const std::string& path) = 0;
  // Creates one folder level. Anything already at path is left as it is and is not a
  // failure, so the call needs no existence test before it.
  virtual void createFolder(const std::string& path) = 0;
  // The absolute form of path with links resolved as far as the path exists.
  virtual std::string resolvedPath(const std::string& path) = 0;

  // --- Removal below a root --------------------------------------------------------------
  // These act on paths below root (root itself ends in "/" and may be a link) and never
  // follow a link below it: a link is listed as a link and deleted as one.
  virtual std::vector<DirEntry> listForRemoval(const std::string& root,
                                               const std::string& folder) = 0;
  // Deletes a plain file or a link; a read-only file is not forced.
  virtual void deleteForRemoval(const std::string& root, const std::string& path) = 0;
  // Removes an empty folder.
  virtual void removeFolderForRemoval(const std::string& root, const std::string& path) = 0;

  // --- Files -----------------------------------------------------------------------------
  virtual std::string readFile(const std::string& path) = 0;
  // Creates or replaces the file whole.
  virtual void writeFile(const std::string& path, std::string_view bytes) = 0;
  virtual std::unique_ptr<OutputFile> createOutput(const std::string& path) = 0;
  // Waits until no other build holds the lock named by path, then holds it.
  virtual std::unique_ptr<BuildLock> lockBuild(const std::string& path) = 0;

  // --- Processes -------------------------------------------------------------------------
  // The folder of the running executable, without a trailing "/" (except "/").
  virtual std::string programFolder() = 0;
  virtual std::string executablePath() = 0;
  // Starts program (looked up in PATH when it has no "/") with args in a new process that
  // is not waited for, its standard streams on /dev/null.
  virtual void startDetached(const std::string& program, const std::vector<std::string>& args) = 0;
  // True when the running user may create and replace files in folder (false on a
  // read-only file system or a folder that is missing).
  virtual bool folderWritable(const std::string& folder) = 0;
  // The user's folder for state that programs keep: $XDG_STATE_HOME when that is an absolute
  // path, else ~/.local/state (the home from $HOME, else from the user database).
  virtual std::string userStateFolder() = 0;
  // Creates folder and every missing folder above it, each new one open to its owner only;
  // folders already there (or links to them) are used as they are.
  virtual void createPrivateFolders(const std::string& folder) = 0;

  // --- Messages and the window -------------------------------------------------------------
  // Without a display: message goes to standard error as "title: text", question answers
  // No, the save dialog counts as cancelled.
  virtual void message(const std::string& title, const std::string& text, Icon icon) = 0;
  // Yes/No with Yes the default; true for Yes.
  virtual bool question(const std::string& title, const std::string& text, Icon icon) = 0;
  // Returns the chosen path, or "" when cancelled.
  virtual std::string saveDialog(const std::string& title, const std::string& filter,
                                 const std::string& initialFolder) = 0;
  // Shows the window and runs it until it closes; returns the exit status (2 when no
  // display can be opened).
  virtual int runWindow(FrmMain& form) = 0;
};

}  // namespace kelvane
