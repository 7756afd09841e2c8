// The locks that builds sharing a link root or a table take turns on. Each lives beside what
// it guards, in the folder where that is created and replaced, so only the accounts that
// could change what it guards can make it, open it or hold it.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/failure.h"
#include "platform/posix_platform.h"
#include "platform/posix_support.h"
#include "platform/posix_walk.h"
#include "platform/short_hash.h"

namespace kelvane {

using namespace posix;

namespace {

const char* const kSource = "lock";

class FileLock : public PathLock {
 public:
  FileLock(Descriptor fd, bool shared, std::string shown)
      : fd_(std::move(fd)), shared_(shared), shown_(std::move(shown)) {}
  bool tryHold() override {
    if (::flock(fd_.get(), (shared_ ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) throw systemFailure(errno, "Cannot lock", shown_, kSource);
    return false;
  }
  void hold() override {
    while (::flock(fd_.get(), shared_ ? LOCK_SH : LOCK_EX) != 0)
      if (errno != EINTR) throw systemFailure(errno, "Cannot lock", shown_, kSource);
  }

 private:
  Descriptor fd_;
  bool shared_;
  std::string shown_;
};

[[noreturn]] void refuseLock(const std::string& shown, const std::string& why) {
  throw Failure(kErrRefused,
                "Refused to build: the lock file \"" + shown + "\" " + why +
                    "; only a plain file made by a build can stand there. Remove it",
                kSource);
}

}  // namespace

std::unique_ptr<PathLock> PosixPlatform::openLock(const std::string& path, bool shared) {
  Walk walk = walkPath(path, true, kSource);
  Reached& r = walk.reached;
  // Nothing to guard yet where even the folder that would hold it is missing.
  if (!walk.complete || r.name.empty()) return nullptr;
  std::string name = ".kelvane-" + shortHash(r.name) + ".lock";
  std::string shown = r.shown.substr(0, r.shown.size() - r.name.size()) + name;
  const struct stat& folder = r.folderStat;
  bool sticky = (folder.st_mode & S_ISVTX) != 0;
  int flags = (shared ? O_RDONLY : O_RDWR) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  Descriptor fd;
  if (!shared) {
    fd = Descriptor(::openat(r.folder.get(), name.c_str(), flags | O_CREAT | O_EXCL, 0600));
    if (fd.get() >= 0) {
      // Open to exactly the accounts that may replace what it guards: the folder's owner,
      // and its group or everyone where they may write the folder.
      mode_t mode = 0600;
      if (!sticky) {
        mode |= ((folder.st_mode & 0022) << 1) | (folder.st_mode & 0022);
        if (::geteuid() == 0 && ::fchown(fd.get(), folder.st_uid, folder.st_gid) != 0)
          throw systemFailure(errno, "Cannot lock", shown, kSource);
      }
      if (::fchmod(fd.get(), mode) != 0) throw systemFailure(errno, "Cannot lock", shown, kSource);
      return std::make_unique<FileLock>(std::move(fd), shared, shown);
    }
    if (errno != EEXIST) throw systemFailure(errno, "Cannot make the lock file", shown, kSource);
  }
  // Found there: looked at before it is opened, so that a device is never opened, and never
  // changed.
  struct stat st;
  if (::fstatat(r.folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (shared && errno == ENOENT) return nullptr;  // no build made it yet
    throw systemFailure(errno, "Cannot look at the lock file", shown, kSource);
  }
  if (!S_ISREG(st.st_mode)) refuseLock(shown, "is not a plain file");
  if (sticky && !isTrusted(st.st_uid) && st.st_uid != folder.st_uid)
    refuseLock(shown,
               "was made by " + accountName(st.st_uid) + ", who cannot change what it guards");
  fd = Descriptor(::openat(r.folder.get(), name.c_str(), flags));
  if (fd.get() < 0) {
    // A dry run that may not open it cannot be kept waiting by it either.
    if (shared && errno == EACCES) return nullptr;
    throw systemFailure(errno,
                        "Cannot open the lock file (owned by " + accountName(st.st_uid) + ")",
                        shown, kSource);
  }
  struct stat now;
  if (::fstat(fd.get(), &now) != 0 || now.st_ino != st.st_ino || !S_ISREG(now.st_mode))
    refuseLock(shown, "was replaced while it was opened");
  return std::make_unique<FileLock>(std::move(fd), shared, shown);
}

}  // namespace kelvane
