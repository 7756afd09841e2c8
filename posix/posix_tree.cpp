// The link root opened once and emptied from that open folder: every folder below it is
// opened relative to its parent without following links, never on another file system or
// mount, with a bounded number of descriptors however deep the tree goes.

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "base/failure.h"
#include "base/path_parts.h"
#include "posix/posix_changes_behind.h"
#include "posix/posix_file_system.h"
#include "posix/posix_folder_ops.h"
#include "posix/posix_look_ahead.h"
#include "posix/posix_support.h"
#include "posix/posix_walk.h"

namespace kelvane {

using namespace posix;

namespace {

// Folders deeper than this many open ones are closed, and reopened through ".." (checked to
// be the same folder) when the walk comes back to them.
constexpr size_t kMaxOpenFolders = 32;

// name as a single entry of the current folder: never a path that the system would resolve
// through other folders (and links), nor the folder itself or its parent.
const char* entryName(const std::string& name, const char* source) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    throw Failure(EINVAL, "\"" + name + "\" is not the name of an entry of a folder", source);
  return systemPath(name, source);
}

Failure somethingElseThere(const std::string& path, const char* source) {
  return Failure(EEXIST,
                 "Cannot create folder \"" + path +
                     "\": something other than a folder is already there under that name",
                 source);
}

class PosixFolderTree : public FolderTree {
 public:
  PosixFolderTree(std::string path, Descriptor fd, FolderMount place)
      : path_(std::move(path)), root_(place) {
    // A folder this build makes must be one it could list again, or a walk that skipped it
    // could pass where one that went in would fail.
    fineTimes_ = keepsFineTimes(fd.get()) && (freshMode_ & 0700) == 0700;
    fillsListings_ = fillsEachListingCall(fd.get());  // the walk never leaves its mount
    levels_.push_back({"", place.id, std::move(fd)});
  }

  std::vector<FileIdentity> chain() override { return folderChain(levels_[0].fd.get(), path_); }

  std::vector<std::string> mountsBelow() override {
    return mountPointsBelow(levels_[0].fd.get(), path_);
  }

  std::vector<DirEntry> list(bool& holdsUnlisted) override {
    return readEntries(current(), currentPath(), "list folder", &holdsUnlisted);
  }

  void listCompact(FolderListing& listing, bool& holdsUnlisted) override {
    if (ahead_.listsAny() && ahead_.listsAt(currentRelative())) {
      struct stat st;
      int64_t now = fileClockNow();
      if (::fstat(current(), &st) == 0 &&
          ahead_.takeListing(stampOf(st, now, fineTimes_), listing, holdsUnlisted))
        return;
    }
    readEntries(current(), currentPath(), "list folder", listing, &holdsUnlisted, fillsListings_);
  }

  void enter(const std::string& name) override {
    const char* source = "open folder";
    letGoOfLeft();
    Descriptor fd(openSubfolder(current(), entryName(name, source), root_));
    if (fd.get() < 0) {
      if (errno == EXDEV) throw anotherMount(currentPath() + name);
      throw systemFailure(errno, "Cannot open folder", currentPath() + name, source);
    }
    levels_.push_back({name, FileIdentity{}, std::move(fd)});
    if (levels_.size() - firstOpen_ + 1 > kMaxOpenFolders) {
      // Known by its identity from now on, so that coming back to it can be checked.
      EnteredFolder& closing = levels_[firstOpen_];
      struct stat st;
      if (::fstat(closing.fd.get(), &st) != 0)
        throw systemFailure(errno, "Cannot look at folder", currentPath(), source);
      closing.id = identityOf(st);
      retire(closing);
      ++firstOpen_;
    }
  }

  void leave() override {
    if (levels_.size() < 2) throw std::logic_error("leaving the folder tree's own folder");
    letGoOfLeft();
    EnteredFolder child = std::move(levels_.back());
    levels_.pop_back();
    size_t top = levels_.size() - 1;
    if (top == 0 || top >= firstOpen_) {
      left_ = std::move(child);
      return;
    }
    Descriptor parent(::openat(child.fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    bool opened = parent.get() >= 0 && ::fstat(parent.get(), &st) == 0;
    int err = errno;
    // Let go of whichever way this ends: changes in it may not be made yet.
    retire(child);
    if (!opened) throw systemFailure(err, "Cannot open folder", currentPath(), "open folder");
    if (identityOf(st) != levels_[top].id)
      throw Failure(ESTALE,
                    "The folder \"" + currentPath() + child.name +
                        "\" was moved elsewhere while the old structure was removed",
                    "open folder");
    levels_[top].fd = std::move(parent);
    firstOpen_ = top;
  }

  void deleteFile(const std::string& name) override {
    bool folder = lookBeforeRemoval(name, entryName(name, "delete file"));
    change({.what = What::DeleteFile, .name = name, .isFolder = folder});
  }

  void checkRemoval(const std::string& name) override {
    bool folder = lookBeforeRemoval(name, entryName(name, "delete file"));
    // Nothing in a folder the running account may not write can go.
    if (int refused = removalRefused(); refused != 0)
      throw removalRefusal(refused, folder, currentPath() + name);
  }

  void removeFolder(const std::string& name) override {
    entryName(name, "remove folder");
    letGoOfLeft();
    change({.what = What::RemoveFolder, .name = name});
  }

  bool reuseFolder(const std::string& from, const std::string& to, bool toFree) override {
    const char* source = "rename folder";
    entryName(from, source);
    entryName(to, source);
    // Where from may not go, it is left as it is: the removal the plan turns to says why.
    if (removalRefused() != 0 || !isOwnFolder(from)) return false;
    // The emptied folder is looked into after the rename through the descriptor its listing
    // used, when it is the folder left last, read again from its start (what is written in
    // meanwhile shows all the same); it is closed once the rename is made.
    if (left_.fd.get() < 0 || left_.name != from || ::lseek(left_.fd.get(), 0, SEEK_SET) != 0)
      letGoOfLeft();
    if (!behind_.taking()) {
      Descriptor listed = std::move(left_.fd);
      return renameEmptied(current(), currentPath(), from, to, root_, listed.get());
    }
    // Made later, the rename cannot say false at once: the name is asked about now, as the
    // dry run asks, so that both pass to the same folder.
    if (!toFree && !nameIsFree(to, source)) {
      letGoOfLeft();
      return false;
    }
    left_.changedBehind = false;  // its changes come before the rename, which closes it
    change({.what = What::RenameFolder, .name = from, .to = to, .closing = std::move(left_.fd)});
    return true;
  }

  void startChanges() override { behind_.start(); }

  void finishChanges(std::vector<FolderNotRenamed>& notRenamed) override {
    letGoOfLeft();
    std::vector<ChangesBehind::NotRenamed> left;
    behind_.finish(left);
    for (ChangesBehind::NotRenamed& one : left) {
      FolderNotRenamed& named = notRenamed.emplace_back();
      std::string relative = one.where.substr(path_.size());
      for (std::string_view part : pathParts(relative, "/")) named.folder.emplace_back(part);
      named.to = std::move(one.to);
    }
  }

  bool canReuseFolder(const std::string& from, const std::string& to, bool toFree) override {
    const char* source = "rename folder";
    entryName(to, source);
    entryName(from, source);
    if (!isOwnFolder(from)) return false;
    return toFree || nameIsFree(to, source);
  }

  // True when nothing is named name in the current folder.
  bool nameIsFree(const std::string& name, const char* source) {
    struct stat st;
    if (::fstatat(current(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return false;
    if (errno != ENOENT) throw systemFailure(errno, "Cannot look at", currentPath() + name, source);
    return true;
  }

  bool isOwnFolder(const std::string& name) override {
    FolderStamp seen;
    return lookAtFolder(name, seen);
  }

  bool lookAtFolder(const std::string& name, FolderStamp& seen) override {
    const char* source = "look at folder";
    bool own = false;
    if (!lookIn(current(), entryName(name, source), seen, own))
      throw systemFailure(errno, "Cannot look at folder", currentPath() + name, source);
    return own;
  }

  // Each look is one fstatat from the open folder, which threads can make side by side; those
  // taken ahead are not taken again.
  void lookAtFolders(const std::vector<std::string_view>& names, std::vector<FolderLook>& looks,
                     bool unchangedSinceAhead) override {
    looks.assign(names.size(), FolderLook{});
    std::vector<char> taken;
    // The walk has begun: the cores are its own from now on.
    ahead_.stop();
    if (names.empty()) return;
    struct stat st;
    if (ahead_.holdsAny() && ::fstat(current(), &st) == 0) {
      if (unchangedSinceAhead)
        ahead_.take(identityOf(st), names, looks, taken);
      else
        ahead_.drop(identityOf(st));  // looked at now, all of them
    }
    std::vector<size_t> left;
    for (size_t i = 0; i < names.size(); ++i)
      if (taken.empty() || !taken[i]) left.push_back(i);
    splitAcrossCores(left.size(), [&](size_t from, size_t to) {
      std::string name;
      for (size_t k = from; k < to; ++k) {
        size_t i = left[k];
        try {
          name.assign(names[i]);
          looks[i].own = lookAtFolder(name, looks[i].seen);
        } catch (...) {
          looks[i].failed = std::current_exception();
        }
      }
    });
  }

  void lookAhead(std::vector<FoldersAhead> folders) override {
    std::vector<LooksAhead::Folder> open;
    for (FoldersAhead& folder : folders) {
      // Each is held open until the walk comes to it.
      if (open.size() == kMaxOpenFolders) break;
      Descriptor fd = reachQuietly(folder.relative);
      struct stat st;
      std::string relative;
      for (std::string_view part : pathParts(folder.relative, "/"))
        relative.append(relative.empty() ? "" : "/").append(part);
      if (fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && !relative.empty())
        open.push_back({std::move(fd), identityOf(st), std::move(folder.names), folder.list,
                        std::move(relative)});
    }
    if (open.empty()) return;
    ahead_.start(
        std::move(open),
        [this](int folder, const char* name, FolderStamp& seen, bool& own) {
          return isEntryName(name) && lookIn(folder, name, seen, own);
        },
        [this](int folder, FolderStamp& before, FolderListing& listing, bool& holdsUnlisted) {
          struct stat st;
          int64_t now = fileClockNow();
          if (::fstat(folder, &st) != 0) return false;
          // A listing after a look within the folder's last tick could not be told current.
          before = stampOf(st, now, fineTimes_);
          if (!settled(before)) return false;
          try {
            readEntries(folder, path_, "list folder", listing, &holdsUnlisted, fillsListings_);
            return true;
          } catch (...) {
            return false;  // listed by the walk, which fails in its own words
          }
        });
  }

  void lookAtSubfolders(const std::string& relative, const std::vector<std::string_view>& names,
                        const std::function<void(size_t, const FolderStamp&)>& take) override {
    // Unlike the look before a walk, this one is followed by no listing: it vouches for what
    // the build left only where no other account could have put anything in since.
    if (!fineTimes_ || (freshMode_ & 022) != 0) return;
    Descriptor held = reachQuietly(relative);
    if (held.get() < 0) return;  // not there: nothing to look at
    int at = held.get();
    std::vector<FolderStamp> seen(names.size());
    std::vector<char> isFolder(names.size(), 0);
    splitAcrossCores(names.size(), [&](size_t from, size_t to) {
      std::string name;
      for (size_t i = from; i < to; ++i) {
        name.assign(names[i]);
        struct stat st;
        int64_t now = fileClockNow();
        if (name.find('/') == std::string::npos && name.find('\0') == std::string::npos &&
            ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
          seen[i] = stampOf(st, now, true);
          isFolder[i] = 1;
        }
      }
    });
    for (size_t i = 0; i < names.size(); ++i)
      if (isFolder[i]) take(i, seen[i]);
  }

  bool holdsFolder(const std::string& relative) override { return reach(relative, false); }
  bool makeFolder(const std::string& relative) override { return reach(relative, true); }

  // Reaches the folder at relative as makeFolder does; with create, makes its last level
  // when missing and says whether it did; else says whether a folder is there.
  bool reach(const std::string& relative, bool create) {
    const char* source = "mkdir";
    std::vector<std::string> parts;
    for (std::string_view part : pathParts(relative, "/")) parts.emplace_back(part);
    if (parts.empty()) return !create;  // the tree's own folder
    std::string shown = path_;
    Descriptor held;
    int at = levels_[0].fd.get();
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      shown += parts[i];
      Descriptor next(openSubfolder(at, entryName(parts[i], source), root_));
      if (next.get() < 0) {
        if (errno == EXDEV) throw anotherMount(shown);
        if (errno == ELOOP || errno == ENOTDIR) throw somethingElseThere(shown, source);
        throw systemFailure(errno, "Cannot create folder", path_ + relative, source);
      }
      held = std::move(next);
      at = held.get();
      shown += "/";
    }
    const std::string& name = parts.back();
    shown += name;
    if (create && ::mkdirat(at, entryName(name, source), 0777) == 0) return true;
    if (create && errno != EEXIST)
      throw systemFailure(errno, "Cannot create folder", shown, source);
    // Whatever is there already stands for the folder only if it is one, not a link to one.
    struct stat st;
    if (::fstatat(at, entryName(name, source), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (!create && errno == ENOENT) {
        // Missing: it could be made only where the running account may write.
        if (::faccessat(at, ".", W_OK | X_OK, AT_EACCESS) != 0)
          throw systemFailure(errno, "Cannot create folder", shown, source);
        return false;
      }
      throw systemFailure(errno, "Cannot create folder", shown, source);
    }
    if (!S_ISDIR(st.st_mode)) throw somethingElseThere(shown, source);
    return !create;
  }

  // The levels entered below the tree's own folder, joined by "/".
  std::string currentRelative() const {
    std::string relative;
    for (size_t i = 1; i < levels_.size(); ++i)
      relative.append(i > 1 ? "/" : "").append(levels_[i].name);
    return relative;
  }

  std::string currentPath() override {
    std::string path = path_;
    for (size_t i = 1; i < levels_.size(); ++i) path += levels_[i].name + "/";
    return path;
  }

 private:
  struct EnteredFolder {
    std::string name;
    FileIdentity id;             // taken when its descriptor is closed
    Descriptor fd;               // closed for levels 1 to firstOpen_ - 1
    int removalRefused = -1;     // what asking to remove in it said: 0, an errno, or -1 not asked
    bool changedBehind = false;  // fd is in changes not made yet
  };

  int current() const { return levels_.back().fd.get(); }

  // One look at name in the open folder: false, with errno set, where it cannot be looked at.
  // own: what isOwnFolder says of it.
  bool lookIn(int folder, const char* name, FolderStamp& seen, bool& own) const {
    struct stat st;
    int64_t now = fileClockNow();
    if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    seen = stampOf(st, now, fineTimes_);
    // The set-group bit comes from the folder it is made in and gives no one anything.
    own =
        S_ISDIR(st.st_mode) && st.st_uid == owner_ && (st.st_mode & 07777 & ~S_ISGID) == freshMode_;
    return true;
  }

  static bool isEntryName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
  }

  // The folder at relative below the tree's own, opened as holdsFolder reaches it; an
  // invalid descriptor where it cannot be (the tree's own folder, opened again, for "").
  Descriptor reachQuietly(const std::string& relative) {
    Descriptor held(::dup(levels_[0].fd.get()));
    for (std::string_view part : pathParts(relative, "/")) {
      std::string name(part);
      if (!isEntryName(name)) return Descriptor();
      held = Descriptor(openSubfolder(held.get(), name.c_str(), root_));
      if (held.get() < 0) return held;
    }
    return held;
  }

  // What asking to remove entries of the current folder said: 0, or the errno refusing it.
  // Asked once a folder: a stale genre folder's hundred thousand removals need the same right.
  int removalRefused() {
    int& refused = levels_.back().removalRefused;
    if (refused < 0)
      refused = ::faccessat(current(), ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
    return refused;
  }

  // The look before name goes: fails where it cannot be looked at or is a read-only file;
  // true for a folder.
  bool lookBeforeRemoval(const std::string& name, const char* entry) {
    struct stat st;
    if (::fstatat(current(), entry, &st, AT_SYMLINK_NOFOLLOW) != 0)
      throw systemFailure(errno, "Cannot delete file", currentPath() + name, "delete file");
    // Deleting is not forced: a file without write permission is refused, as a user would
    // expect of a read-only file.
    if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0)
      throw systemFailure(EACCES, "Cannot delete read-only file", currentPath() + name,
                          "delete file");
    return S_ISDIR(st.st_mode);
  }

  using What = ChangesBehind::What;

  // A change in the current folder: made now, or behind the walk while it takes changes.
  void change(ChangesBehind::Change asked) {
    asked.folder = current();
    asked.where = currentPath();
    if (!behind_.taking()) return (void)makeChange(asked, root_);
    levels_.back().changedBehind = true;
    behind_.ask(std::move(asked));
  }

  // The descriptor of a level the walk lets go of: closed now, or, where changes not made
  // yet are made in it, after them.
  void retire(EnteredFolder& level) {
    if (std::exchange(level.changedBehind, false))
      behind_.ask({.what = What::Close, .closing = std::move(level.fd)});
    level.fd.reset();
  }

  // The folder left last is kept open until the walk has said what becomes of it.
  void letGoOfLeft() {
    if (left_.fd.get() >= 0) retire(left_);
  }

  static Failure anotherMount(const std::string& path) {
    return Failure(
        EXDEV,
        "The folder \"" + path + "\" is another file system or mount; nothing is removed across it",
        "open folder");
  }

  std::string path_;  // as opened, ending in "/"
  FolderMount root_;
  bool fineTimes_ = false;                     // a look can tell a changed folder
  bool fillsListings_ = false;                 // a listing call that left room got all
  uid_t owner_ = ::geteuid();                  // of a folder created now
  mode_t freshMode_ = 0777 & ~currentUmask();  // and its permissions
  std::vector<EnteredFolder> levels_;          // [0] is the tree's own folder, always open
  EnteredFolder left_;                         // the folder left last, while still open
  size_t firstOpen_ = 1;                       // the levels from here to the top are open
  // After levels_: what it makes behind the walk is made in their folders before they close.
  ChangesBehind behind_{
      [this](const ChangesBehind::Change& asked) { return makeChange(asked, root_); }};
  LooksAhead ahead_;  // last: its thread looks through this tree's members until it ends
};

}  // namespace

namespace {

// The folder the walk reached, opened for listing; an invalid descriptor when no folder is
// there.
Descriptor openReachedFolder(const PathTarget& r, const std::string& path, const char* source) {
  if (!r.name.empty() && (!r.exists || !S_ISDIR(r.stat.st_mode))) return Descriptor();
  Descriptor fd(::openat(r.folder.get(), r.name.empty() ? "." : r.name.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0 && errno != ENOENT && errno != ENOTDIR)
    throw systemFailure(errno, "Cannot open folder", path, source);
  return fd;
}

std::unique_ptr<FolderTree> treeOf(Descriptor fd, const std::string& path, const char* source) {
  FolderMount place;
  if (!mountOf(fd.get(), place)) throw systemFailure(errno, "Cannot look at folder", path, source);
  return std::make_unique<PosixFolderTree>(endsWithSlash(path) ? path : path + "/", std::move(fd),
                                           place);
}

}  // namespace

std::unique_ptr<FolderTree> PosixFiles::openFolderTree(const std::string& path) {
  const char* source = "open folder";
  if (path.empty()) return nullptr;
  WalkedPath walk = walkPath(path, true, source);
  if (!walk.complete) return nullptr;
  Descriptor fd = openReachedFolder(walk.target, path, source);
  if (fd.get() < 0) return nullptr;
  return treeOf(std::move(fd), path, source);
}

std::unique_ptr<FolderTree> PosixFiles::createFolderTree(const std::string& path) {
  const char* source = "mkdir";
  WalkedPath walk = walkPath(path, true, source);
  PathTarget& r = walk.target;
  if (!walk.complete) throw systemFailure(ENOENT, "Cannot create folder", path, source);
  if (!r.exists && !r.name.empty() && ::mkdirat(r.folder.get(), r.name.c_str(), 0777) != 0 &&
      errno != EEXIST)
    throw systemFailure(errno, "Cannot create folder", path, source);
  // Made now, or there before: either way only a folder, never a link, becomes the tree.
  if (!r.exists && !r.name.empty() &&
      ::fstatat(r.folder.get(), r.name.c_str(), &r.stat, AT_SYMLINK_NOFOLLOW) == 0)
    r.exists = true;
  Descriptor fd = openReachedFolder(r, path, source);
  if (fd.get() < 0) throw somethingElseThere(path, source);
  return treeOf(std::move(fd), path, source);
}

void PosixFiles::checkFolderCreation(const std::string& path) {
  const char* source = "mkdir";
  WalkedPath walk = walkPath(path, true, source);
  PathTarget& r = walk.target;
  if (!walk.complete) throw systemFailure(ENOENT, "Cannot create folder", path, source);
  // mkdirat needs what this asks of the folder that would hold it: the effective account's
  // right to write and search it, on a file system that is not read-only.
  if (!r.exists && !r.name.empty()) {
    if (::faccessat(r.folder.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
      throw systemFailure(errno, "Cannot create folder", path, source);
    return;
  }
  if (openReachedFolder(r, path, source).get() < 0) throw somethingElseThere(path, source);
}

}  // namespace kelvane
