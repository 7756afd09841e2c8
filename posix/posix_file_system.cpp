// Folder listing and tests, and path resolution.

#include "posix/posix_file_system.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/failure.h"
#include "base/hidden_name.h"
#include "posix/posix_support.h"
#include "posix/posix_walk.h"

namespace kelvane {

using namespace posix;

namespace {

// path without its last part, as the system would take the folder holding it; "" when the
// path has a single relative part (the current folder holds it).
std::string leadingPart(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The longest leading part of path that the system can open, opened; "." for a relative
// path none of whose parts exist. whole says whether that is path itself.
Descriptor openLongestExisting(std::string path, const char* source, bool* whole = nullptr) {
  if (whole) *whole = true;
  for (;;) {
    Descriptor fd(::open(path.empty() ? "." : path.c_str(), O_PATH | O_CLOEXEC));
    if (fd.get() >= 0) return fd;
    if (whole) *whole = false;
    if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
      throw systemFailure(errno, "Cannot look at", path, source);
    if (path.empty() || path == "/")
      throw systemFailure(errno, "Cannot look at", path.empty() ? "." : path, source);
    // Trailing separators belong to the part before them.
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    path = leadingPart(path);
  }
}

// The chain of what the open fd is: a folder's own chain, or the file and then the chain of
// the folder the system found it in.
std::vector<FileIdentity> chainOfOpen(int fd, const std::string& path, const char* source) {
  struct stat st;
  if (::fstat(fd, &st) != 0) throw systemFailure(errno, "Cannot look at", path, source);
  if (S_ISDIR(st.st_mode)) return folderChain(fd, path);
  // Only a folder knows its parent: find the file's folder by its resolved name.
  char buffer[PATH_MAX];
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = ::readlink(self.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) throw systemFailure(errno, "Cannot resolve", path, source);
  std::string resolved(buffer, static_cast<size_t>(n));
  Descriptor folder(::open(leadingPart(resolved).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) throw systemFailure(errno, "Cannot look at the folder of", path, source);
  std::vector<FileIdentity> chain{identityOf(st)};
  for (const FileIdentity& id : folderChain(folder.get(), path)) chain.push_back(id);
  return chain;
}

}  // namespace

namespace {

// A link counts for what it leads to only when root or the folder's owner made it.
void markForeignLink(int folder, uid_t folderOwner, DirEntry& entry) {
  struct stat st;
  if (entry.type != EntryType::Link ||
      ::fstatat(folder, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return;
  if (st.st_uid != 0 && st.st_uid != folderOwner) entry.foreignOwner = accountName(st.st_uid);
}

}  // namespace

namespace {

// The folder a pattern ending in "/" lists, opened from the folder its walk checked; an
// invalid descriptor when no folder is there.
Descriptor openListed(const std::string& pattern, const char* source) {
  WalkedPath walk = walkPath(pattern, true, source);
  PathTarget& r = walk.target;
  if (!walk.complete || (!r.name.empty() && (!r.exists || !S_ISDIR(r.stat.st_mode))))
    return Descriptor();
  Descriptor folder(::openat(r.folder.get(), r.name.empty() ? "." : r.name.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0 && errno != ENOENT && errno != ENOTDIR)
    throw systemFailure(errno, "Cannot list folder", pattern, "open folder");
  return folder;
}

// One look at the open folder, the clock read just before it.
struct stat lookAt(int folder, const std::string& pattern, FolderStamp* seen, const char* source) {
  struct stat st;
  int64_t now = seen ? fileClockNow() : 0;
  if (::fstat(folder, &st) != 0) throw systemFailure(errno, "Cannot list folder", pattern, source);
  if (seen) *seen = stampOf(st, now, keepsFineTimes(folder));
  return st;
}

}  // namespace

std::vector<DirEntry> PosixFiles::listFolder(const std::string& pattern) {
  FolderStamp ignored;
  return listStampedFolder(pattern, ignored);
}

FolderStamp PosixFiles::folderStamp(const std::string& pattern) {
  FolderStamp seen;
  if (!endsWithSlash(pattern)) return seen;
  Descriptor folder = openListed(pattern, "list folder");
  if (folder.get() >= 0) lookAt(folder.get(), pattern, &seen, "list folder");
  return seen;
}

std::vector<DirEntry> PosixFiles::listStampedFolder(const std::string& pattern, FolderStamp& seen) {
  const char* source = "list folder";
  seen = FolderStamp{};
  if (pattern.empty()) return {};
  if (endsWithSlash(pattern)) {
    Descriptor folder = openListed(pattern, source);
    if (folder.get() < 0) return {};
    struct stat st = lookAt(folder.get(), pattern, &seen, source);
    std::vector<DirEntry> entries = readEntries(folder.get(), pattern, source);
    for (DirEntry& entry : entries) markForeignLink(folder.get(), st.st_uid, entry);
    return entries;
  }
  WalkedPath walk = walkPath(pattern, false, source);
  PathTarget& r = walk.target;
  if (!walk.complete) return {};
  std::string name = lastComponent(pattern);
  if (isHiddenName(name)) return {};
  if (r.name.empty()) return {{name, EntryType::Folder, ""}};  // "a/.." names a folder
  EntryType type;
  if (!r.exists || !typeFromMode(r.stat.st_mode, type)) return {};
  DirEntry entry{name, type, ""};
  markForeignLink(r.folder.get(), r.folderStat.st_uid, entry);
  return {entry};
}

bool PosixFiles::exists(const std::string& pattern) {
  if (pattern.empty()) return false;
  const char* path = systemPath(pattern, "existence test");
  struct stat st;
  if (endsWithSlash(pattern)) return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
  if (isHiddenName(lastComponent(pattern))) return false;
  EntryType type;
  return ::lstat(path, &st) == 0 && typeFromMode(st.st_mode, type);
}

bool PosixFiles::fileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(systemPath(path, "file test"), &st) == 0 && S_ISREG(st.st_mode);
}

bool PosixFiles::folderExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(systemPath(path, "folder test"), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string PosixFiles::resolvedPath(const std::string& path) {
  // The system resolves "link/.." as the folder holding the link's target, so nothing is
  // folded here before realpath has resolved the links in front of it.
  std::string absolute = !path.empty() && path[0] == '/' ? path : currentFolder() + "/" + path;
  systemPath(absolute, "resolve path");
  std::string head = absolute, tail;
  for (;;) {
    char buffer[PATH_MAX];
    if (::realpath(head.c_str(), buffer) != nullptr) {
      std::string out = buffer;
      if (!tail.empty()) out = (out == "/" ? "" : out) + tail;
      return out;
    }
    if (head == "/") return absolute;
    auto slash = head.find_last_of('/');
    tail = head.substr(slash) + tail;
    head = slash == 0 ? "/" : head.substr(0, slash);
  }
}

std::vector<FileIdentity> PosixFiles::chainOf(const std::string& path, bool followLast) {
  const char* source = "resolve path";
  if (path.empty()) return {};
  systemPath(path, source);
  std::string name = lastComponent(path);
  bool asNamed = !followLast && !name.empty() && name != "." && name != "..";
  if (!asNamed) return chainOfOpen(openLongestExisting(path, source).get(), path, source);
  // The last part as it stands, a link not followed, in the folder the system finds it in.
  bool whole;
  Descriptor folder = openLongestExisting(leadingPart(path), source, &whole);
  std::vector<FileIdentity> chain = chainOfOpen(folder.get(), path, source);
  struct stat st;
  if (whole && ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
    chain.insert(chain.begin(), identityOf(st));
  return chain;
}

}  // namespace kelvane
