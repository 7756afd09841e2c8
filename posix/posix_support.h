#pragma once

// Small pieces the Linux platform's files share: path parts, entry types, descriptors and
// folder reading.

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kelvane::posix {

bool endsWithSlash(const std::string& s);
// The process's current folder.
std::string currentFolder();
std::string lastComponent(const std::string& path);
// The folder part of path: "." without one, "/" at the root.
std::string parentOf(const std::string& path);
// False for anything a listing leaves out (sockets, pipes, devices).
bool typeFromMode(mode_t mode, EntryType& type);
FileIdentity identityOf(const struct stat& st);
// The process's file creation mask, which it keeps.
mode_t currentUmask();
// path as the system takes it; fails on a NUL byte, where the system would stop reading and
// act on another path than the one checked.
const char* systemPath(const std::string& path, const char* source);
// The clock the system stamps file times from (its coarse real-time clock), in nanoseconds:
// read before a look, every change after the look has a time no earlier than this.
int64_t fileClockNow();
// True when the file system of the open fd stamps every change from this machine's clock to
// the nanosecond (ext4, tmpfs, XFS, Btrfs); a look there can tell a changed folder.
bool keepsFineTimes(int fd);
// True when each call listing the open folder fd returns every entry that fits (ext4, tmpfs,
// XFS, Btrfs): one that left room for another reached the end. FUSE and network file systems
// may hand a listing over a page at a time.
bool fillsEachListingCall(int fd);
// What a look at st saw, the clock read at seenAt just before it; nothing (tickNs 0) where
// the times are not fine ones.
FolderStamp stampOf(const struct stat& st, int64_t seenAt, bool fineTimes);
// Calls work(from, to) on parts of [0, count) that together cover it once, side by side on
// up to as many threads as the machine has cores (at most four), and returns when all are
// done; a count too small to be worth a thread is one part on this thread. For reads that
// the system serves side by side, such as a look at each of a large folder's subfolders.
// work must not throw.
void splitAcrossCores(size_t count, const std::function<void(size_t, size_t)>& work);
// The identities of the open folder fd and of every folder holding it, up to the root.
std::vector<FileIdentity> folderChain(int fd, const std::string& path);

// Closes the descriptor it holds.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// The whole file at path, read to its end whatever size it claims.
std::string readWholeFile(const std::string& path, const char* source);
// The rest of the open file fd, path naming it in failures.
std::string readAll(int fd, const std::string& path);

// True when the open folder fd holds nothing but "." and "..", hidden entries included.
bool isEmptyFolder(int fd, const std::string& path, const char* source);

// Every entry a listing returns from the open folder fd; path names it in failures.
// holdsUnlisted, when given, is set when entries were left out (hidden names, pipes,
// sockets, devices).
std::vector<DirEntry> readEntries(int fd, const std::string& path, const char* source,
                                  bool* holdsUnlisted = nullptr);
// The same entries, into a compact listing (cleared first); fillsEachCall: as
// fillsEachListingCall(fd) says, sparing the call that finds the end.
void readEntries(int fd, const std::string& path, const char* source, FolderListing& listing,
                 bool* holdsUnlisted, bool fillsEachCall);

// The mount points anywhere below the open folder (path names it in failures).
std::vector<std::string> mountPointsBelow(int folder, const std::string& path);

}  // namespace kelvane::posix
