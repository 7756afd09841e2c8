#include "posix/posix_walk.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

#include "base/failure.h"
#include "base/path_parts.h"

namespace kelvane::posix {
namespace {

// As many links as the system itself follows in one path.
constexpr int kMaxLinks = 40;

// An entry that does not exist yet could be put there by anyone who may write the folder.
constexpr uid_t kAnyone = static_cast<uid_t>(-1);

void splitInto(std::deque<std::string>& parts, const std::string& path, bool atFront) {
  std::vector<std::string> found;
  for (std::string_view part : pathParts(path, "/", true)) found.emplace_back(part);
  if (atFront)
    parts.insert(parts.begin(), found.begin(), found.end());
  else
    parts.insert(parts.end(), found.begin(), found.end());
}

std::string groupName(gid_t gid) {
  std::vector<char> buffer(16384);
  struct group entry, *found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return std::string(found->gr_name) + " (gid " + std::to_string(gid) + ")";
  return "gid " + std::to_string(gid);
}

[[noreturn]] void refuse(const std::string& why, const char* source) {
  throw Failure(kErrRefused, "Refused to build: " + why, source);
}

Descriptor openRoot(const char* source) {
  Descriptor fd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) throw systemFailure(errno, "Cannot open folder", "/", source);
  return fd;
}

void statOf(int fd, struct stat& st, const std::string& shown, const char* source) {
  if (::fstat(fd, &st) != 0) throw systemFailure(errno, "Cannot look at", shown, source);
}

}  // namespace

bool isTrusted(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

std::string accountName(uid_t uid) {
  std::vector<char> buffer(16384);
  struct passwd entry, *found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
  return "uid " + std::to_string(uid);
}

std::string whoCanReplace(const struct stat& folder, uid_t entryOwner) {
  if (!isTrusted(folder.st_uid)) return "the account " + accountName(folder.st_uid);
  if ((folder.st_mode & 0022) == 0) return "";
  // Where each account may remove only its own entries, an entry of root's or of this
  // account's stays theirs.
  if ((folder.st_mode & S_ISVTX) && isTrusted(entryOwner)) return "";
  if ((folder.st_mode & S_ISVTX) && entryOwner != kAnyone)
    return "the account " + accountName(entryOwner);
  return (folder.st_mode & 0002) ? "any account"
                                 : "the accounts of group " + groupName(folder.st_gid);
}

WalkedPath walkPath(const std::string& path, bool followLast, const char* source) {
  systemPath(path, source);
  std::deque<std::string> parts;
  if (path.empty() || path[0] != '/') splitInto(parts, currentFolder(), false);
  splitInto(parts, path, false);
  WalkedPath walk;
  PathTarget& r = walk.target;
  r.folder = openRoot(source);
  statOf(r.folder.get(), r.folderStat, "/", source);
  std::string shown;  // the folder reached, without its final "/"
  int links = 0;
  while (!parts.empty()) {
    std::string part = std::move(parts.front());
    parts.pop_front();
    bool last = parts.empty();
    if (part == "." || part == "..") {
      if (part == "..") {
        // As the system takes it: the folder holding the one reached, links already followed.
        Descriptor up(::openat(r.folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (up.get() < 0) throw systemFailure(errno, "Cannot open folder", shown + "/..", source);
        r.folder = std::move(up);
        statOf(r.folder.get(), r.folderStat, shown, source);
        shown = shown.substr(
            0, shown.find_last_of('/') == std::string::npos ? 0 : shown.find_last_of('/'));
      }
      continue;
    }
    std::string here = shown + "/" + part;
    struct stat st;
    if (::fstatat(r.folder.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) throw systemFailure(errno, "Cannot look at", here, source);
      walk.complete = last;
      r.name = part;
      r.replaceableBy = whoCanReplace(r.folderStat, kAnyone);
      r.shown = here;
      return walk;
    }
    std::string who = whoCanReplace(r.folderStat, st.st_uid);
    if (S_ISLNK(st.st_mode) && (!last || followLast)) {
      if (!who.empty())
        refuse("\"" + here + "\" is a link that " + who +
                   " could have put there; a link that an account other than this one and "
                   "root can replace is never followed. Name the folder or file it leads "
                   "to, or make the folder holding it writable only by its owner",
               source);
      if (++links > kMaxLinks)
        throw systemFailure(ELOOP, "Cannot follow the links of", path, source);
      // Read through the link itself, so that what was checked is what is followed.
      Descriptor link(::openat(r.folder.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
      struct stat now;
      if (link.get() < 0 || ::fstat(link.get(), &now) != 0)
        throw systemFailure(errno, "Cannot follow the link", here, source);
      if (now.st_ino != st.st_ino || now.st_dev != st.st_dev)
        throw systemFailure(ESTALE, "Cannot follow the link (it changed meanwhile)", here, source);
      char target[PATH_MAX];
      ssize_t n = ::readlinkat(link.get(), "", target, sizeof target - 1);
      if (n <= 0)
        throw systemFailure(n < 0 ? errno : ENOENT, "Cannot follow the link", here, source);
      std::string to(target, static_cast<size_t>(n));
      splitInto(parts, to, true);
      if (to[0] == '/') {
        r.folder = openRoot(source);
        statOf(r.folder.get(), r.folderStat, "/", source);
        shown.clear();
      }
      continue;
    }
    if (last || !S_ISDIR(st.st_mode)) {
      walk.complete = last;
      r.name = part;
      r.exists = true;
      r.stat = st;
      r.replaceableBy = who;
      r.shown = here;
      return walk;
    }
    if (!who.empty())
      refuse("\"" + here + "\" is a folder that " + who +
                 " can replace; a build never passes through one. Move what the settings "
                 "name out of it, or make the folder holding it writable only by its owner",
             source);
    Descriptor next(
        ::openat(r.folder.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) throw systemFailure(errno, "Cannot open folder", here, source);
    r.folder = std::move(next);
    statOf(r.folder.get(), r.folderStat, here, source);
    shown = here;
  }
  r.shown = shown.empty() ? "/" : shown;
  return walk;
}

}  // namespace kelvane::posix
