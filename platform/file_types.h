#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

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

// A folder's listing kept compact: the names one after another in one text, each with its
// type. A walk through a folder of half a million entries then holds about 17 bytes a name
// rather than a DirEntry (72 bytes and more) each.
class FolderListing {
 public:
  size_t size() const { return types_.size(); }
  std::string_view name(size_t i) const {
    size_t end = i + 1 < starts_.size() ? starts_[i + 1] : text_.size();
    return std::string_view(text_).substr(starts_[i], end - starts_[i]);
  }
  EntryType type(size_t i) const { return static_cast<EntryType>(types_[i]); }
  void add(std::string_view name, EntryType type) {
    starts_.push_back(text_.size());
    text_.append(name);
    types_.push_back(static_cast<unsigned char>(type));
  }
  void clear() {
    text_.clear();
    starts_.clear();
    types_.clear();
  }

 private:
  std::string text_;
  std::vector<size_t> starts_;
  std::vector<unsigned char> types_;
};

// What the system reaches at a path: two paths lead to the same file or folder exactly when
// their identities are equal, whatever their texts.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

// What one look at a folder saw: its identity, its change and modification times (in
// nanoseconds), and the system's clock just before the look. tickNs is how far apart two
// changes must be for the system to give them different times; 0 where its times cannot be
// trusted to tell every change apart (a file system whose times are coarse, come from
// another machine's clock, or that this program does not know), and then the look says
// nothing about what changed.
struct FolderStamp {
  FileIdentity id;
  int64_t changedNs = 0;
  int64_t modifiedNs = 0;
  int64_t seenAtNs = 0;
  int64_t tickNs = 0;
};

// True when a later change to the folder is bound to show in its times: the look came at
// least a tick after the folder's last change. A look within that tick says nothing, so
// the folder is looked at in full next time.
inline bool settled(const FolderStamp& seen) {
  return seen.tickNs > 0 &&
         (seen.changedNs > seen.modifiedNs ? seen.changedNs : seen.modifiedNs) + seen.tickNs <=
             seen.seenAtNs;
}

// The input table while a build reads it.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Reads up to size bytes into buffer; 0 at the end of the file.
  virtual size_t read(char* buffer, size_t size) = 0;
};

// The last build's record while a build reads it: once through to check it, then again
// from the start to use it, from the one file that was opened.
class RecordInput : public InputFile {
 public:
  virtual void restart() = 0;
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

// What a lock guards: the link root (a folder, perhaps not made yet) or a table (a file).
enum class Guarded { LinkRoot, Table };

// A lock that builds sharing a link root or a table take turns on; released when destroyed.
class PathLock {
 public:
  virtual ~PathLock() = default;
  // Takes the lock when no other build holds it; false, waiting for nothing, otherwise.
  virtual bool tryHold() = 0;
  // Waits at most seconds for the lock and takes it; false when it is still held then.
  virtual bool holdWithin(double seconds) = 0;
  // Who holds the lock now, where the system confirms it ("the build of process 12 of ftp
  // (uid 107)", "process 12 (flock) of ftp (uid 107)"), or "" where it does not.
  virtual std::string holder() = 0;
  // What is locked (the lock file's own identity, which is one for every spelling of what it
  // guards): two locks with one identity are one lock, and locks are always taken in the
  // order of their identities.
  virtual FileIdentity identity() const = 0;
  // Its path, for messages.
  virtual const std::string& shown() const = 0;
};

}  // namespace kelvane
