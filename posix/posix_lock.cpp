// The locks that builds sharing a link root or a table take turns on. A build locks the
// folder that holds what it guards (flock on the folder itself): no file is made, so there is
// no name another account could make first, fill or replace, and a build needs no right
// beyond reading the folder it works in. Any account that can read that folder could hold
// such a lock too, so a wait is bounded and names the holder.

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/failure.h"
#include "posix/posix_file_system.h"
#include "posix/posix_files.h"
#include "posix/posix_support.h"
#include "posix/posix_walk.h"

namespace kelvane {

using namespace posix;

namespace {

const char* const kSource = "lock";

// The process pid as /proc tells it: "process 12 (kelvane) of ftp (uid 107)".
std::string describeProcess(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line, name, uid;
  while (std::getline(status, line)) {
    if (line.rfind("Name:", 0) == 0) std::istringstream(line.substr(5)) >> name;
    if (line.rfind("Uid:", 0) == 0) std::istringstream(line.substr(4)) >> uid;
  }
  std::string text = "process " + pid;
  if (!name.empty()) text += " (" + name + ")";
  if (!uid.empty()) text += " of " + accountName(static_cast<uid_t>(std::stoul(uid)));
  return text;
}

class FolderLock : public PathLock {
 public:
  FolderLock(Descriptor fd, const struct stat& st, bool shared, std::string shown)
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

  // /proc/locks lines read "1: FLOCK ADVISORY WRITE 1234 08:01:5678 0 EOF"; lines of those
  // still waiting for a lock start with "->".
  std::string holder() override {
    std::ifstream locks("/proc/locks");
    std::string line, found;
    char self[32];
    std::snprintf(self, sizeof self, "%x:%x:%lu", major(st_.st_dev), minor(st_.st_dev),
                  static_cast<unsigned long>(st_.st_ino));
    while (std::getline(locks, line)) {
      std::istringstream fields(line);
      std::string id, kind, advisory, mode, pid, file;
      if (!(fields >> id >> kind >> advisory >> mode >> pid >> file) || kind == "->") continue;
      if (!sameFile(file, self) || pid == std::to_string(::getpid())) continue;
      found += (found.empty() ? "" : ", ") + describeProcess(pid);
    }
    return found;
  }

  FileIdentity identity() const override { return identityOf(st_); }
  const std::string& shown() const override { return shown_; }

 private:
  // The kernel writes the device as two hexadecimal numbers of at least two digits.
  static bool sameFile(const std::string& file, const char* self) {
    unsigned major = 0, minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) return false;
    char text[32];
    std::snprintf(text, sizeof text, "%x:%x:%lu", major, minor, inode);
    return std::string(text) == self;
  }

  Descriptor fd_;
  struct stat st_;
  bool shared_;
  std::string shown_;
};

}  // namespace

std::unique_ptr<PathLock> PosixFiles::openLock(const std::string& path, bool shared) {
  WalkedPath walk = walkPath(path, true, kSource);
  PathTarget& r = walk.target;
  // Nothing to guard yet where even the folder that would hold it is missing.
  if (!walk.complete) return nullptr;
  std::string shown = r.name.empty() ? r.shown : r.shown.substr(0, r.shown.size() - r.name.size());
  if (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  Descriptor fd(::openat(r.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // A folder that may be passed through but not read (0711) is no place to lock: what it
  // holds is locked instead, which the build reads or writes anyway.
  if (fd.get() < 0 && errno == EACCES && r.exists) {
    shown = r.shown;
    fd = Descriptor(
        ::openat(r.folder.get(), r.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 && errno == EACCES && S_ISREG(r.stat.st_mode))
      fd = openReached(r, O_WRONLY | O_NONBLOCK, path, "Cannot open to lock", kSource);
  }
  if (fd.get() < 0) {
    int err = errno;
    throw Failure(err,
                  "Cannot open \"" + shown + "\" to lock it (" + std::strerror(err) +
                      "): builds of one link root or table take turns on the folder holding "
                      "it, which the account running the build must be able to read",
                  kSource, "Let the account running the build read \"" + shown + "\"");
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw systemFailure(errno, "Cannot lock", shown, kSource);
  return std::make_unique<FolderLock>(std::move(fd), st, shared, shown);
}

}  // namespace kelvane
