#include "posix/posix_journal_place.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/failure.h"
#include "posix/posix_files.h"
#include "posix/posix_walk.h"

namespace kelvane::posix {
namespace {

const char* const kSource = "journal";
const char* const kFolderFix =
    "Point XDG_STATE_HOME (root: /var/lib) at a folder that only this account and root can "
    "write, at every level, or make the folder named so";

[[noreturn]] void refuseFolder(const std::string& path, const std::string& who) {
  throw Failure(kErrRefused,
                "Refused to build: the folder for table journals \"" + path +
                    "\" can be changed by " + who +
                    "; a journal is written and put back only where no account other than this "
                    "one and root can write",
                kSource, kFolderFix);
}

[[noreturn]] void refuseJournal(const std::string& path, const std::string& why) {
  throw Failure(kErrRefused,
                "Refused to build: \"" + path + "\" is no journal a build of this account left (" +
                    why +
                    "); a table is put back only from a plain file of this account's with one "
                    "name and mode 0600",
                kSource, "Find out what put it there, then remove it");
}

// The walk to path, its refusals told as the journal folder's.
WalkedPath walkToFolder(const std::string& path) {
  try {
    return walkPath(path, true, kSource);
  } catch (const Failure& failure) {
    if (failure.number() != kErrRefused) throw;
    throw Failure(failure.number(), failure.description(), failure.source(), kFolderFix);
  }
}

}  // namespace

std::string journalName(const struct stat& table) {
  char name[64];
  std::snprintf(name, sizeof name, "table-%llx-%llx.journal",
                static_cast<unsigned long long>(table.st_dev),
                static_cast<unsigned long long>(table.st_ino));
  return name;
}

JournalFolder openJournalFolder(const std::string& path, bool create) {
  // One level made per round: a path has no more levels than characters.
  for (size_t round = 0; round <= path.size(); ++round) {
    WalkedPath walk = walkToFolder(path);
    PathTarget& r = walk.target;
    if (!r.exists && !r.name.empty()) {
      // Whoever may write the folder that would hold it could make it first.
      if (!r.replaceableBy.empty()) refuseFolder(r.shown, r.replaceableBy);
      if (!create) return {Descriptor(), path};
      if (::mkdirat(r.folder.get(), r.name.c_str(), 0700) != 0 && errno != EEXIST)
        throw systemFailure(errno, "Cannot create folder", r.shown, kSource);
      continue;
    }
    // Always a named folder: the state folder's "kelvane".
    if (!walk.complete || r.name.empty() || !S_ISDIR(r.stat.st_mode))
      throw systemFailure(ENOTDIR, "Cannot use the folder for table journals", r.shown, kSource);
    std::string who = whoCanChange(r);
    if (!who.empty()) refuseFolder(r.shown, who);
    Descriptor fd(
        ::openat(r.folder.get(), r.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
      throw systemFailure(errno, "Cannot open folder", r.shown, kSource);
    if (st.st_ino != r.stat.st_ino || st.st_dev != r.stat.st_dev)
      throw systemFailure(ESTALE, "Cannot open folder (it was replaced meanwhile)", r.shown,
                          kSource);
    return {std::move(fd), path};
  }
  throw systemFailure(ELOOP, "Cannot create folder", path, kSource);
}

Descriptor openJournal(const JournalFolder& folder, const std::string& name) {
  std::string path = folder.pathOf(name);
  struct stat st;
  if (folder.fd.get() < 0) return Descriptor();
  if (::fstatat(folder.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return Descriptor();
    throw systemFailure(errno, "Cannot look at the journal", path, kSource);
  }
  if (!S_ISREG(st.st_mode))
    refuseJournal(path, S_ISLNK(st.st_mode)   ? "it is a symbolic link"
                        : S_ISDIR(st.st_mode) ? "it is a folder"
                                              : "it is not a plain file");
  if (st.st_uid != ::geteuid()) refuseJournal(path, "it is owned by " + accountName(st.st_uid));
  if (st.st_nlink != 1) refuseJournal(path, "it has " + std::to_string(st.st_nlink) + " names");
  if ((st.st_mode & 07777) != 0600) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    refuseJournal(path, std::string("its mode is ") + mode);
  }
  Descriptor fd(
      ::openat(folder.fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat now;
  if (fd.get() < 0 || ::fstat(fd.get(), &now) != 0)
    throw systemFailure(errno, "Cannot open the journal", path, kSource);
  if (now.st_ino != st.st_ino || now.st_dev != st.st_dev)
    throw systemFailure(ESTALE, "Cannot open the journal (it was replaced meanwhile)", path,
                        kSource);
  return fd;
}

}  // namespace kelvane::posix
