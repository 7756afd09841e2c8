// The locks that builds sharing a link root or a table take turns on. flock and fcntl read
// locks need nothing but read access, and a read lock blocks a write lock: so a lock is only
// ever taken on a file that no account but the builders can open, a 0600 plain file with one
// name, owned by the owner of what it guards, in a folder that only its owner and root can
// write. Root makes it as that owner's, through the folder it checked, never through a link.
// - A link root: ".kelvane.lock" in the link root itself (hidden names are never listed, so
//   no build removes it). Beside it, in the folder holding the link root, a build that finds
//   no link root (or one others may write) locks ".kelvane-<hash of its name>.lock", which
//   builds of the link root also take wherever it is there: so the build that makes the link
//   root and one that finds it made take turns too.
// - A table: ".kelvane-<hash of its name>.lock" in the folder holding the file its name
//   leads to (a link followed); for a table with several names, written in place, the hash
//   of the file's identity, so that every name of it in that folder gives one lock.
// A lock that cannot be had so is not taken: in a folder that others may write, or where
// the running account may not make or open the file (it then cannot do that work either).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "base/failure.h"
#include "base/short_hash.h"
#include "posix/posix_file_system.h"
#include "posix/posix_lock_holder.h"
#include "posix/posix_support.h"
#include "posix/posix_walk.h"

namespace kelvane {

using namespace posix;

namespace {

const char* const kSource = "lock";

class FileLock : public PathLock {
 public:
  FileLock(Descriptor fd, const struct stat& st, bool shared, std::string shown)
      : fd_(std::move(fd)), st_(st), shared_(shared), shown_(std::move(shown)) {}

  bool tryHold() override {
    if (::flock(fd_.get(), (shared_ ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) throw systemFailure(errno, "Cannot lock", shown_, kSource);
    return false;
  }

  bool holdWithin(double seconds) override {
    using Clock = std::chrono::steady_clock;
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      if (tryHold()) return true;
      if (Clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

  std::string holder() override { return lockHolder(st_); }
  FileIdentity identity() const override { return identityOf(st_); }
  const std::string& shown() const override { return shown_; }

 private:
  Descriptor fd_;
  struct stat st_;
  bool shared_;
  std::string shown_;
};

// Where one lock file stands, and whose it may be.
struct LockPlace {
  int folder;  // checked, O_PATH
  const struct stat& folderStat;
  std::string folderShown;
  std::string name;
  uid_t owner;       // of a lock file made now
  uid_t otherOwner;  // also accepted for one already there
  bool make;         // a missing one is made (else nothing is locked there)
};

bool othersMayWrite(const struct stat& folder) { return (folder.st_mode & 0022) != 0; }

std::string inFolder(const std::string& folder, const std::string& name) {
  return (folder.empty() || folder.back() != '/' ? folder + "/" : folder) + name;
}

std::string hashedLockName(const std::string& key) {
  return ".kelvane-" + shortHash(key) + ".lock";
}

void refuseLockFile(const struct stat& st, const LockPlace& place, const std::string& shown) {
  std::string is = !S_ISREG(st.st_mode)           ? "something other than a plain file"
                   : st.st_nlink != 1             ? "a file with more than one name"
                   : (st.st_mode & 07777) != 0600 ? "a file others may open (not mode 0600)"
                   : st.st_uid != place.owner && st.st_uid != place.otherOwner
                       ? "a file of " + accountName(st.st_uid)
                       : "";
  if (is.empty()) return;
  throw Failure(kErrRefused,
                "Cannot lock \"" + shown +
                    "\": builds take turns only on a plain file with one "
                    "name, mode 0600, of " +
                    accountName(place.owner) + ", and this is " + is,
                kSource, "Remove \"" + shown + "\"; the next build makes it anew");
}

std::unique_ptr<PathLock> openLockFile(const LockPlace& place, bool shared) {
  if (othersMayWrite(place.folderStat)) return nullptr;
  std::string shown = inFolder(place.folderShown, place.name);
  // O_NONBLOCK: a FIFO put there must not hold the build at its opening.
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  Descriptor fd(::openat(place.folder, place.name.c_str(), flags));
  bool made = false;
  if (fd.get() < 0 && errno == ENOENT && place.make) {
    fd = Descriptor(::openat(place.folder, place.name.c_str(), flags | O_CREAT | O_EXCL, 0600));
    made = fd.get() >= 0;
    // Made by another build just now.
    if (!made && errno == EEXIST)
      fd = Descriptor(::openat(place.folder, place.name.c_str(), flags));
  }
  if (fd.get() < 0) {
    int err = errno;
    // Nothing there to share, or a file this account may neither make nor open: only the
    // accounts that may do the work it guards can.
    if (err == ENOENT || err == EACCES || err == EPERM || err == EROFS) return nullptr;
    if (err == ELOOP) {
      struct stat st {};
      ::fstatat(place.folder, place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
      refuseLockFile(st, place, shown);
    }
    throw systemFailure(err, "Cannot open the lock file", shown, kSource);
  }
  if (made) {
    if (::geteuid() == 0 && place.owner != 0 &&
        ::fchown(fd.get(), place.owner, place.folderStat.st_gid) != 0)
      throw systemFailure(errno, "Cannot give the lock file to its owner", shown, kSource);
    // Whatever the file creation mask left of it.
    if (::fchmod(fd.get(), 0600) != 0)
      throw systemFailure(errno, "Cannot set the lock file's mode", shown, kSource);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw systemFailure(errno, "Cannot lock", shown, kSource);
  refuseLockFile(st, place, shown);
  return std::make_unique<FileLock>(std::move(fd), st, shared, shown);
}

}  // namespace

std::vector<std::unique_ptr<PathLock>> PosixFiles::openLocks(const std::string& path, Guarded what,
                                                             bool shared) {
  std::vector<std::unique_ptr<PathLock>> locks;
  if (path.empty()) return locks;
  // Resolved first, so that "links/.", "links/" and a link to links all lead to links in
  // the folder holding it.
  std::string full = resolvedPath(path);
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  WalkedPath walk = walkPath(full, true, kSource);
  PathTarget& r = walk.target;
  // Nothing to guard yet where even the folder that would hold it is missing.
  if (!walk.complete || r.name.empty()) return locks;
  std::string folderShown = r.shown.substr(0, r.shown.size() - r.name.size());
  auto add = [&](std::unique_ptr<PathLock> lock) {
    if (lock) locks.push_back(std::move(lock));
  };
  const struct stat& folder = r.folderStat;
  if (what == Guarded::Table) {
    bool severalNames = r.exists && S_ISREG(r.stat.st_mode) && r.stat.st_nlink > 1;
    std::string key = severalNames ? "identity " + std::to_string(r.stat.st_dev) + ":" +
                                         std::to_string(r.stat.st_ino)
                                   : r.name;
    uid_t owner = r.exists ? r.stat.st_uid : folder.st_uid;
    add(openLockFile(
        {r.folder.get(), folder, folderShown, hashedLockName(key), owner, folder.st_uid, !shared},
        shared));
    return locks;
  }
  if (r.exists && S_ISDIR(r.stat.st_mode) && !othersMayWrite(r.stat)) {
    Descriptor root(
        ::openat(r.folder.get(), r.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (root.get() < 0 || ::fstat(root.get(), &st) != 0)
      throw systemFailure(errno, "Cannot open the link root to lock it", r.shown, kSource);
    add(openLockFile({root.get(), st, r.shown, ".kelvane.lock", st.st_uid, st.st_uid, !shared},
                     shared));
  }
  add(openLockFile({r.folder.get(), folder, folderShown, hashedLockName(r.name), folder.st_uid,
                    folder.st_uid, !shared && locks.empty()},
                   shared));
  return locks;
}

}  // namespace kelvane
