#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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
  // For a link that neither root nor the listed folder's owner made: the account that did,
  // as the system names it. Such a link is never followed. Empty for every other entry.
  std::string foreignOwner;
};

// What the system reaches at a path: two paths lead to the same file or folder exactly when
// their identities are equal, whatever their texts.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

enum class Icon { Error, Question, Information };

// The input table while a build reads it.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Reads up to size bytes into buffer; 0 at the end of the file.
  virtual size_t read(char* buffer, size_t size) = 0;
};

// The output table while a build writes it. The bytes only reach the table when commit()
// puts them there whole; destroyed uncommitted, it leaves the table as it was and no
// temporary file behind.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual void write(std::string_view bytes) = 0;
  virtual void commit() = 0;
};

// A lock that builds sharing a folder or a table take turns on; released when destroyed.
class PathLock {
 public:
  virtual ~PathLock() = default;
  // Takes the lock when no other build holds it; false, waiting for nothing, otherwise.
  virtual bool tryHold() = 0;
  // Waits at most seconds for the lock and takes it; false when it is still held then.
  virtual bool holdWithin(double seconds) = 0;
  // Who holds the lock now, as the system tells ("process 12 (kelvane) of ftp (uid 107)"),
  // or "" where it does not.
  virtual std::string holder() = 0;
  // What is locked: two locks with one identity are one lock, and locks are always taken in
  // the order of their identities.
  virtual FileIdentity identity() const = 0;
  // Its path, for messages.
  virtual const std::string& shown() const = 0;
};

// A folder opened once, so that what was checked is what is acted on: its identity is taken
// from the open folder, and the walk below it starts from that same folder, whatever happens
// to its name afterwards. The walk has one current folder, the tree's own folder at first;
// it never follows a link and never enters a folder of another file system or mount.
class FolderTree {
 public:
  virtual ~FolderTree() = default;

  // The tree's folder first, then each folder holding it, up to the root of the file system
  // (a drive or share root on Windows): one entry when the tree's folder is such a root.
  virtual std::vector<FileIdentity> chain() = 0;
  // Mount points (or other volumes) anywhere below the tree's folder, as paths.
  virtual std::vector<std::string> mountsBelow() = 0;

  // The visible entries of the current folder, links as links; holdsUnlisted says whether
  // the folder holds anything the listing leaves out: hidden names (on both systems every
  // name starting with "."), and pipes, sockets and devices.
  virtual std::vector<DirEntry> list(bool& holdsUnlisted) = 0;
  // Makes the subfolder name of the current folder current. Fails on a link, on anything
  // but a folder, and on a folder of another file system or mount.
  virtual void enter(const std::string& name) = 0;
  // Makes the folder that was current before the last enter() current again. Fails if that
  // folder is no longer the one the current folder is in (it was moved meanwhile).
  virtual void leave() = 0;
  // Deletes the plain file or link name in the current folder; a read-only file is not forced.
  virtual void deleteFile(const std::string& name) = 0;
  // Fails where deleteFile(name), or removeFolder(name) of an emptied folder, would fail for
  // what stands there now (a read-only file, a folder whose entries cannot be removed),
  // changing nothing: the question a plan asks before it removes name.
  virtual void checkRemoval(const std::string& name) = 0;
  // Removes the empty subfolder name of the current folder.
  virtual void removeFolder(const std::string& name) = 0;
  // Renames the subfolder from of the current folder, emptied of all it holds, to to, when
  // it is just what a folder created now would be (isOwnFolder) and nothing is named to;
  // false, changing nothing, otherwise. Fails when to holds anything after the rename (it
  // was written into meanwhile).
  virtual bool reuseFolder(const std::string& from, const std::string& to) = 0;
  // True when reuseFolder(from, to) would rename now, changing nothing: the question a plan
  // asks before it turns a stale folder into a missing one. toGoes: what stands at to now
  // (a file or link) is one the plan removes first, so only from is looked at.
  virtual bool canReuseFolder(const std::string& from, const std::string& to, bool toGoes) = 0;
  // True when the subfolder name of the current folder (not a link) has the owner and the
  // permissions that a folder this build makes now would have: only such a folder is kept.
  virtual bool isOwnFolder(const std::string& name) = 0;
  // True when a folder (not a link to one) stands at relative (levels split at the
  // separators, empty and "." levels skipped) below the tree's own folder, false when
  // nothing is there; fails, changing nothing, where makeFolder(relative) would: a leading
  // level that is missing or is not a folder, a link, a file or anything else where a level
  // goes, another file system or mount. The question a plan asks before it makes a folder.
  virtual bool holdsFolder(const std::string& relative) = 0;
  // Makes the folder at relative below the tree's own folder, whose leading levels must
  // stand there as folders: the last level is created unless a folder is there already.
  // Never follows a link and never enters another file system or mount: a link, a file or
  // anything else where a level goes fails. True when the folder was made.
  virtual bool makeFolder(const std::string& relative) = 0;
  // The current folder's path, ending in the separator: the tree's path as it was opened
  // and the names entered. For messages.
  virtual std::string currentPath() = 0;
};

// Everything the program asks of the operating system and the window system. Failures are
// thrown as kelvane::Failure naming the operation and the path. A path holding a NUL byte
// fails every operation that would hand it to the system.
//
// What a build reads, writes, creates or deletes is reached one level at a time from the
// root of the file system, through the folders it checked: a link is followed, and a folder
// passed through, only when no account other than the running one and root could have put
// or replaced it there; anything else is refused (kErrRefused) naming the path and the
// account, before the build changes anything.
class Platform {
 public:
  virtual ~Platform() = default;

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

  // --- Files -----------------------------------------------------------------------------
  virtual std::string readFile(const std::string& path) = 0;
  // readFile for the settings of a build, which steer everything it does: also refuses a
  // file that an account other than the running one and root can write or replace.
  virtual std::string readTrustedFile(const std::string& path) = 0;
  // Creates or replaces the file whole.
  virtual void writeFile(const std::string& path, std::string_view bytes) = 0;
  // Opens a plain file for reading; anything else (a folder, device, pipe, socket) fails.
  virtual std::unique_ptr<InputFile> openInput(const std::string& path) = 0;
  // Prepares to replace the plain file at path (or to create it), failing now if it cannot
  // be written: anything but a plain file there fails. A link's target is what is replaced.
  // The replaced file keeps its mode, owner and group and every name it has.
  virtual std::unique_ptr<OutputFile> createOutput(const std::string& path) = 0;
  // Fails where createOutput(path) would, creating, removing and changing nothing.
  virtual void checkOutput(const std::string& path) = 0;
  // The lock that builds acting on path take turns on, whichever account runs them: exclusive
  // for a build, shared for a dry run. It needs no right beyond reaching path's folder, and
  // makes, changes and waits for nothing; nullptr where even the folder that would hold path
  // is missing (nothing to guard yet).
  virtual std::unique_ptr<PathLock> openLock(const std::string& path, bool shared) = 0;

  // --- Processes -------------------------------------------------------------------------
  // The program that opens a text file given as its only argument for the user to read:
  // "xdg-open" on Linux, "notepad.exe" on Windows.
  virtual std::string textEditor() const = 0;
  // The folder of the running executable, without a trailing separator (except at a root).
  virtual std::string programFolder() = 0;
  virtual std::string executablePath() = 0;
  // Starts program (looked up in PATH when it has no separator) with args in a new process
  // that is not waited for, its standard streams on /dev/null.
  virtual void startDetached(const std::string& program, const std::vector<std::string>& args) = 0;
  // A process started by startWatched. Nothing waits for it: the window's event loop waits on
  // endHandle(), which the system signals when the process ends (on Linux a descriptor that
  // becomes readable, a pidfd; on Windows the process handle), then reads exitStatus().
  class WatchedProcess {
   public:
    virtual ~WatchedProcess() = default;
    // The exit status once the process has ended (128 + N for a Linux process ended by
    // signal N, -1 when the system no longer knows it); nullopt while it runs. Never waits.
    virtual std::optional<int> exitStatus() = 0;
    virtual std::intptr_t endHandle() const = 0;
  };
  // Starts program as startDetached does, as this process's own child, so that the window
  // can tell when it ends and how. Fails when it cannot be started (nothing then runs), or,
  // on a Linux without pidfds, cannot be watched (it then runs unwatched, as the failure says).
  virtual std::unique_ptr<WatchedProcess> startWatched(const std::string& program,
                                                       const std::vector<std::string>& args) = 0;
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
  // place: on Linux a folder owned by root that holds an executable file other than the
  // running executable (kelvaneerrors.txt aside); on Windows a folder below %ProgramFiles%,
  // %ProgramFiles(x86)% or %SystemRoot% that holds another .exe.
  virtual bool isSystemProgramFolder(const std::string& folder) = 0;
  // Puts bytes at path as a new file: written under a temporary name of the program's own
  // in path's folder, created there new and never through a link, then renamed over
  // whatever stands at path, so that a link at path is replaced, not followed. A folder at
  // path fails; a failed write leaves no temporary file.
  virtual void writeNewFile(const std::string& path, std::string_view bytes) = 0;

  // --- Messages and the window -------------------------------------------------------------
  // A line on standard error for whoever runs the build, never a window.
  virtual void warn(const std::string& text) = 0;
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
