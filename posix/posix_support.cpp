#include "posix/posix_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <system_error>
#include <thread>

#include "base/failure.h"
#include "base/hidden_name.h"

namespace kelvane::posix {
namespace {

struct LinuxDirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

}  // namespace

std::string currentFolder() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr)
    throw systemFailure(errno, "Cannot read the current folder", ".", "getcwd");
  return buffer;
}

bool endsWithSlash(const std::string& s) { return !s.empty() && s.back() == '/'; }

std::string lastComponent(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool typeFromMode(mode_t mode, EntryType& type) {
  if (S_ISDIR(mode))
    type = EntryType::Folder;
  else if (S_ISREG(mode))
    type = EntryType::File;
  else if (S_ISLNK(mode))
    type = EntryType::Link;
  else
    return false;
  return true;
}

mode_t currentUmask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

int64_t fileClockNow() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

namespace {

bool isLocalFileSystemKnownHere(int fd) {
  constexpr long kExt4 = 0xEF53, kTmpfs = 0x01021994, kXfs = 0x58465342, kBtrfs = 0x9123683E;
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return false;
  long type = static_cast<long>(fs.f_type);
  return type == kExt4 || type == kTmpfs || type == kXfs || type == kBtrfs;
}

// A listing call that returned n bytes of a buffer of size left room for one more entry.
bool leftRoomForAnother(long n, size_t size) {
  return n + static_cast<long>(sizeof(LinuxDirent64)) + NAME_MAX + 1 < static_cast<long>(size);
}

}  // namespace

bool keepsFineTimes(int fd) {
  // Network file systems take times from the server's clock, FAT and others keep coarse
  // ones: a change there could carry the very time of the look before it.
  return isLocalFileSystemKnownHere(fd);
}

bool fillsEachListingCall(int fd) {
  // Each of these fills a call until the buffer is full or the folder's end is reached.
  return isLocalFileSystemKnownHere(fd);
}

void splitAcrossCores(size_t count, const std::function<void(size_t, size_t)>& work) {
  // A thread costs about as much as a few hundred looks.
  constexpr size_t kLeastPerThread = 256;
  // Each thread takes the next small part when done with its last, so that none waits on
  // another that started late or was slowed.
  constexpr size_t kPart = 64;
  // Asked once: the system reads a file to tell.
  static const size_t cores = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
  size_t threads = std::clamp<size_t>(count / kLeastPerThread, 1, cores);
  std::atomic<size_t> next{0};
  auto takeParts = [&] {
    for (size_t from = next.fetch_add(kPart); from < count; from = next.fetch_add(kPart))
      work(from, std::min(count, from + kPart));
  };
  std::vector<std::thread> helpers;
  for (size_t helper = 1; helper < threads; ++helper) {
    try {
      helpers.emplace_back(takeParts);
    } catch (const std::system_error&) {
      break;  // no thread to be had: those there take its parts
    }
  }
  takeParts();
  for (std::thread& helper : helpers) helper.join();
}

FolderStamp stampOf(const struct stat& st, int64_t seenAt, bool fineTimes) {
  FolderStamp stamp;
  stamp.id = identityOf(st);
  stamp.changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  stamp.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.seenAtNs = seenAt;
  // ext2 and ext3 folders (small inodes) keep whole seconds on an ext4 file system: a time
  // without nanoseconds is taken for one of those.
  bool fine = fineTimes && st.st_ctim.tv_nsec != 0;
  // The clock moves in ticks of a few milliseconds; a wider margin costs nothing.
  stamp.tickNs = fine ? 10000000 : 0;
  return stamp;
}

FileIdentity identityOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

const char* systemPath(const std::string& path, const char* source) {
  if (path.find('\0') != std::string::npos)
    throw Failure(EINVAL,
                  "The path \"" + path.substr(0, path.find('\0')) +
                      "\" is followed by a NUL byte and more text; it names no file",
                  source);
  return path.c_str();
}

std::vector<FileIdentity> folderChain(int fd, const std::string& path) {
  std::vector<FileIdentity> chain;
  Descriptor at(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (at.get() < 0) throw systemFailure(errno, "Cannot look at folder", path, "resolve path");
  for (;;) {
    struct stat st;
    if (::fstat(at.get(), &st) != 0)
      throw systemFailure(errno, "Cannot look at folder", path, "resolve path");
    FileIdentity id = identityOf(st);
    // The root is its own parent.
    if (!chain.empty() && chain.back() == id) return chain;
    chain.push_back(id);
    Descriptor up(::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (up.get() < 0)
      throw systemFailure(errno, "Cannot look at the folders holding", path, "resolve path");
    at = std::move(up);
  }
}

std::string readWholeFile(const std::string& path, const char* source) {
  Descriptor file(::open(systemPath(path, source), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) throw systemFailure(errno, "Cannot open file", path, "open");
  return readAll(file.get(), path);
}

std::string readAll(int fd, const std::string& path) {
  std::string bytes;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) bytes.reserve(static_cast<size_t>(st.st_size));
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw systemFailure(errno, "Cannot read file", path, "read");
    }
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

bool isEmptyFolder(int fd, const std::string& path, const char* source) {
  alignas(LinuxDirent64) char buffer[4096];
  long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
  if (n < 0) throw systemFailure(errno, "Cannot list folder", path, source);
  for (long at = 0; at < n;) {
    auto* d = reinterpret_cast<LinuxDirent64*>(buffer + at);
    at += d->d_reclen;
    std::string_view name(d->d_name);
    if (name != "." && name != "..") return false;
  }
  // A read that left room for more entries read them all: one call tells an empty folder.
  return leftRoomForAnother(n, sizeof buffer) ||
         ::syscall(SYS_getdents64, fd, buffer, sizeof buffer) == 0;
}

// Reads a whole open folder with large getdents64 calls, keeping what a listing returns.
// The entry type comes from the listing itself; only a file system that does not fill it
// in costs a stat.
namespace {

// Hands each entry a listing returns from the open folder fd to take, with its type.
template <class Take>
void forEachEntry(int fd, const std::string& path, const char* source, bool* holdsUnlisted,
                  bool fillsEachCall, Take&& take) {
  if (holdsUnlisted) *holdsUnlisted = false;
  alignas(LinuxDirent64) char buffer[64 * 1024];
  for (;;) {
    long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n < 0) throw systemFailure(errno, "Cannot list folder", path, source);
    if (n == 0) break;
    for (long at = 0; at < n;) {
      auto* d = reinterpret_cast<LinuxDirent64*>(buffer + at);
      at += d->d_reclen;
      std::string_view name(d->d_name);
      if (isHiddenName(name)) {
        if (holdsUnlisted) *holdsUnlisted = true;
        continue;
      }
      EntryType type;
      switch (d->d_type) {
        case DT_DIR:
          type = EntryType::Folder;
          break;
        case DT_REG:
          type = EntryType::File;
          break;
        case DT_LNK:
          type = EntryType::Link;
          break;
        case DT_UNKNOWN: {
          struct stat st;
          // Gone meanwhile, or something the listing leaves out.
          if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
          if (!typeFromMode(st.st_mode, type)) {
            if (holdsUnlisted) *holdsUnlisted = true;
            continue;
          }
          break;
        }
        default:
          // A pipe, socket or device: left out, and said so.
          if (holdsUnlisted) *holdsUnlisted = true;
          continue;
      }
      take(name, type);
    }
    if (fillsEachCall && leftRoomForAnother(n, sizeof buffer)) break;
  }
}

}  // namespace

std::vector<DirEntry> readEntries(int fd, const std::string& path, const char* source,
                                  bool* holdsUnlisted) {
  std::vector<DirEntry> entries;
  forEachEntry(fd, path, source, holdsUnlisted, false, [&](std::string_view name, EntryType type) {
    entries.push_back({std::string(name), type, {}});
  });
  return entries;
}

void readEntries(int fd, const std::string& path, const char* source, FolderListing& listing,
                 bool* holdsUnlisted, bool fillsEachCall) {
  listing.clear();
  forEachEntry(fd, path, source, holdsUnlisted, fillsEachCall,
               [&](std::string_view name, EntryType type) { listing.add(name, type); });
}

}  // namespace kelvane::posix
