#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/windows_1252.h"
#include "platform/file_types.h"
#include "platform/folder_tree.h"

namespace kelvane {

// The error report's file name, beside the executable or in the state folder.
inline constexpr const char* kReportName = "kelvaneerrors.txt";

// Every file and folder operation the program asks of the operating system. Failures are
// thrown as kelvane::Failure naming the operation and the path. A path holding a NUL byte
// fails every operation that would hand it to the system.
//
// What a build reads, writes, creates or deletes is reached one level at a time from the
// root of the file system, through the folders it checked: a link is followed, and a folder
// passed through, only when no account other than the running one and root could have put
// or replaced it there; anything else is refused (kErrRefused) naming the path and the
// account, before the build changes anything.
class Files {
 public:
  virtual ~Files() = default;

  // --- Path rules ------------------------------------------------------------------------
  // The separator of physical paths: "/" on Linux, "\" on Windows.
  virtual char separator() const = 0;
  // Every character the system reads as a separator: "/" on Linux; "\" and "/" on Windows.
  virtual std::string_view separators() const = 0;

  // Names and paths in the program are text as the system's listing gives it: UTF-8 on
  // Windows, the bytes themselves on Linux. A file not written in UTF-8 holds them in the
  // system's local encoding (the ANSI code page on Windows); on Linux, where names are
  // bytes, that encoding is the bytes and both of these return text unchanged.
  // The program's text for bytes in the local encoding.
  virtual std::string fromLocalText(const std::string& bytes) const = 0;
  // The local encoding's bytes for text; nullopt when it has none for a character of it.
  virtual std::optional<std::string> toLocalText(const std::string& text) const = 0;
  // The code page the window reads and writes a settings file in when it is not UTF-8: the
  // ANSI code page on Windows; Windows-1252 where the system has none (Linux), the one such
  // files come from. Any bytes read and written again are the same bytes.
  virtual std::string codePageName() const { return "Windows-1252"; }
  virtual std::string fromCodePage(const std::string& bytes) const {
    return fromWindows1252(bytes);
  }
  // nullopt when the code page has no byte for a character of text.
  virtual std::optional<std::string> toCodePage(const std::string& text) const {
    return toWindows1252(text);
  }

  // --- Folders -------------------------------------------------------------------------
  // A pattern ending in the separator lists that folder's contents, "." and ".." included;
  // any other pattern lists the single entry it names. Every character is literal. Hidden
  // entries and anything but folders, plain files and links are never returned. A pattern
  // naming nothing lists nothing and does not fail.
  virtual std::vector<DirEntry> listFolder(const std::string& pattern) = 0;
  // True when listFolder(pattern) would return a name, found without reading any folder.
  virtual bool exists(const std::string& pattern) = 0;
  // A plain file / a folder at path, following links.
  virtual bool fileExists(const std::string& path) = 0;
  virtual bool folderExists(const std::string& path) = 0;
  // The absolute form of path with links resolved, as the system resolves them, as far as
  // the path exists; the rest is kept as written. For messages and lock names.
  virtual std::string resolvedPath(const std::string& path) = 0;
  // The identities along path as the system resolves it: what path leads to (or, with
  // followLast false, what its last part is, a link not followed), then each folder holding
  // it up to the root. For a path that does not exist, the chain of its longest existing
  // leading part. Empty for an empty path.
  virtual std::vector<FileIdentity> chainOf(const std::string& path, bool followLast) = 0;
  // Opens the folder at path (which may be a link to a folder) for checking and emptying;
  // nullptr when no folder is there.
  virtual std::unique_ptr<FolderTree> openFolderTree(const std::string& path) = 0;
  // Creates the folder at path (one level: the folder holding it must exist), or takes the
  // folder already there (not a link), and opens it as openFolderTree does. Anything else
  // there fails.
  virtual std::unique_ptr<FolderTree> createFolderTree(const std::string& path) = 0;
  // Fails where createFolderTree(path) would, for the reason it would give (the folder that
  // would hold it missing or not writable by the running account, a read-only file system,
  // something else there), creating and changing nothing.
  virtual void checkFolderCreation(const std::string& path) = 0;

  // --- Files -----------------------------------------------------------------------------
  virtual std::string readFile(const std::string& path) = 0;
  // readFile for the settings of a build, which steer everything it does: also refuses a
  // file that an account other than the running one and root can write or replace.
  virtual std::string readTrustedFile(const std::string& path) = 0;
  // Creates or replaces the file whole, as createOutput and commit would: the old file is
  // never cut short before the new bytes are safe. A new file is writable by its owner alone (no group
  // or other write, whatever the umask); a file already there keeps its mode.
  virtual void writeFile(const std::string& path, std::string_view bytes) = 0;
  // Opens a plain file for reading; anything else (a folder, device, pipe, socket) fails.
  virtual std::unique_ptr<InputFile> openInput(const std::string& path) = 0;
  // Prepares to replace the plain file at path (or to create it), failing now if it cannot
  // be written: anything but a plain file there fails. A link's target is what is replaced.
  // The replaced file keeps its mode, owner and group and every name it has.
  virtual std::unique_ptr<OutputFile> createOutput(const std::string& path) = 0;
  // Fails where createOutput(path) would, creating, removing and changing nothing.
  virtual void checkOutput(const std::string& path) = 0;
  // The locks that builds acting on path (what) take turns on, whichever account runs them:
  // exclusive for a build, shared for a dry run. Only the accounts that may do the build's
  // work can open them; a build makes one that is missing where it can, a dry run makes,
  // changes and waits for nothing, locking only what is there already. Every spelling of one
  // link root or table gives the same locks. Empty where there is nothing to lock yet.
  virtual std::vector<std::unique_ptr<PathLock>> openLocks(const std::string& path, Guarded what,
                                                           bool shared) = 0;

  // True when the running user may create and replace files in folder (false on a
  // read-only file system or a folder that is missing).
  virtual bool folderWritable(const std::string& folder) = 0;
  // The user's folder for state that programs keep: $XDG_STATE_HOME when that is an absolute
  // path, else ~/.local/state (the home from $HOME, else from the user database); for root
  // (which the Linux platform tells by the effective user) /var/lib.
  virtual std::string userStateFolder() = 0;
  // Creates folder and every missing folder above it, each new one open to its owner only;
  // folders already there (or links to them) are used as they are.
  virtual void createPrivateFolders(const std::string& folder) = 0;
  // True when folder is one of the system's own program folders, where a report has no
  // place: on Linux a folder owned by root that holds an executable file other than
  // runningExecutable (kelvaneerrors.txt aside); on Windows a folder below %ProgramFiles%,
  // %ProgramFiles(x86)% or %SystemRoot% that holds another .exe.
  virtual bool isSystemProgramFolder(const std::string& folder,
                                     const std::string& runningExecutable) = 0;
  // Puts bytes at path as a new file: written under a temporary name of the program's own
  // in path's folder, created there new and never through a link, then renamed over
  // whatever stands at path, so that a link at path is replaced, not followed. A folder at
  // path fails; a failed write leaves no temporary file.
  virtual void writeNewFile(const std::string& path, std::string_view bytes) = 0;
};

}  // namespace kelvane
