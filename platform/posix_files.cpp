// Whole files read and written, the input table read as a stream, the output table replaced
// only when a build completes, and the locks that builds sharing a folder or table take
// turns on.

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/failure.h"
#include "platform/posix_platform.h"
#include "platform/posix_support.h"

namespace kelvane {

using namespace posix;

namespace {

void writeAll(int fd, std::string_view bytes, const std::string& path, const char* source) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw systemFailure(errno, "Cannot write file", path, source);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

mode_t currentUmask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// Sixteen hex digits naming what a file of the program's own is for, short enough to fit
// wherever the name it stands for fits.
std::string shortHash(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
  return out;
}

// What a path leads to, when it is not a plain file: for the failure that refuses it.
std::string notAPlainFile(const std::string& path, mode_t mode, const std::string& role) {
  const char* kind = S_ISDIR(mode)                    ? "a folder"
                     : S_ISFIFO(mode)                 ? "a pipe (FIFO)"
                     : S_ISSOCK(mode)                 ? "a socket"
                     : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                                                      : "not a plain file";
  return "\"" + path + "\" is " + kind + "; the " + role + " must be a plain file";
}

class PosixInput : public InputFile {
 public:
  PosixInput(Descriptor fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  size_t read(char* buffer, size_t size) override {
    for (;;) {
      ssize_t n = ::read(fd_.get(), buffer, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) throw systemFailure(errno, "Cannot read file", path_, "read");
    }
  }

 private:
  Descriptor fd_;
  std::string path_;
};

// Bytes go to a temporary file beside the table, renamed over it on commit.
class AtomicOutput : public OutputFile {
 public:
  AtomicOutput(std::string target, std::string temp, Descriptor fd, std::string named)
      : target_(std::move(target)),
        temp_(std::move(temp)),
        fd_(std::move(fd)),
        named_(std::move(named)) {
    buffer_.reserve(kBufferSize);
  }
  ~AtomicOutput() override {
    fd_.reset();
    if (!committed_) ::unlink(temp_.c_str());
  }

  void write(std::string_view bytes) override {
    if (buffer_.size() + bytes.size() > kBufferSize) flush();
    if (bytes.size() >= kBufferSize) {
      writeAll(fd_.get(), bytes, named_, "write");
      return;
    }
    buffer_.append(bytes);
  }

  void commit() override {
    flush();
    if (::fsync(fd_.get()) != 0) throw systemFailure(errno, "Cannot write file", named_, "fsync");
    if (::close(fd_.release()) != 0)
      throw systemFailure(errno, "Cannot write file", named_, "close");
    if (::rename(temp_.c_str(), target_.c_str()) != 0)
      throw systemFailure(errno, "Cannot replace file", named_, "rename");
    committed_ = true;
  }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;

  void flush() {
    writeAll(fd_.get(), buffer_, named_, "write");
    buffer_.clear();
  }

  std::string target_, temp_;
  Descriptor fd_;
  std::string named_;  // the path as the settings name it, for failures
  bool committed_ = false;
  std::string buffer_;
};

// For a table that a new file could not stand in for (another owner, more names, a folder
// that takes no new file): the table is opened now and written over in one go on commit.
class InPlaceOutput : public OutputFile {
 public:
  InPlaceOutput(Descriptor fd, std::string named) : fd_(std::move(fd)), named_(std::move(named)) {}
  void write(std::string_view bytes) override { bytes_.append(bytes); }
  void commit() override {
    if (::ftruncate(fd_.get(), 0) != 0)
      throw systemFailure(errno, "Cannot write file", named_, "truncate");
    writeAll(fd_.get(), bytes_, named_, "write");
    if (::fsync(fd_.get()) != 0) throw systemFailure(errno, "Cannot write file", named_, "fsync");
  }

 private:
  Descriptor fd_;
  std::string named_;
  std::string bytes_;
};

std::unique_ptr<OutputFile> inPlace(const std::string& target, const std::string& named) {
  Descriptor fd(::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) throw systemFailure(errno, "Cannot write file", named, "open");
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw systemFailure(errno, "Cannot write file", named, "open");
  if (!S_ISREG(st.st_mode))
    throw Failure(EINVAL, notAPlainFile(named, st.st_mode, "output VFS file"), "open");
  return std::make_unique<InPlaceOutput>(std::move(fd), named);
}

class FileLocks : public BuildLock {
 public:
  explicit FileLocks(std::vector<Descriptor> fds) : fds_(std::move(fds)) {}

 private:
  std::vector<Descriptor> fds_;
};

// Lock files live where every account's builds see them.
std::string lockFolder() {
  struct stat st;
  if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/run/lock", W_OK) == 0)
    return "/run/lock";
  return "/tmp";
}

}  // namespace

std::string PosixPlatform::readFile(const std::string& path) { return readWholeFile(path, "open"); }

void PosixPlatform::writeFile(const std::string& path, std::string_view bytes) {
  Descriptor file(::open(systemPath(path, "open"), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (file.get() < 0) throw systemFailure(errno, "Cannot create file", path, "open");
  writeAll(file.get(), bytes, path, "write");
}

std::unique_ptr<InputFile> PosixPlatform::openInput(const std::string& path) {
  // Opened without waiting, so that a pipe in the table's place cannot hold the build.
  Descriptor fd(::open(systemPath(path, "open"), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) throw systemFailure(errno, "Cannot open file", path, "open");
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw systemFailure(errno, "Cannot open file", path, "open");
  if (!S_ISREG(st.st_mode))
    throw Failure(S_ISDIR(st.st_mode) ? EISDIR : EINVAL,
                  notAPlainFile(path, st.st_mode, "input VFS file"), "open");
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
    throw systemFailure(errno, "Cannot open file", path, "open");
  return std::make_unique<PosixInput>(std::move(fd), path);
}

std::unique_ptr<OutputFile> PosixPlatform::createOutput(const std::string& path) {
  const char* source = "open";
  systemPath(path, source);
  if (path.empty() || endsWithSlash(path))
    throw Failure(EISDIR, "The output VFS file \"" + path + "\" names a folder, not a file",
                  source);
  // A link is kept as a link: its target is what gets replaced.
  std::string target = path;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr)
      throw systemFailure(errno, "Cannot follow the link", path, source);
    target = buffer;
  }
  bool exists = ::stat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) throw systemFailure(errno, "Cannot look at", path, source);
  if (exists && !S_ISREG(st.st_mode))
    throw Failure(S_ISDIR(st.st_mode) ? EISDIR : EINVAL,
                  notAPlainFile(path, st.st_mode, "output VFS file"), source);

  // Named after the table, so that the next build of it removes what a killed one left;
  // builds of one table take turns, so a file of this name is always such a leftover.
  std::string temp = parentOf(target) + "/.kelvane-" + shortHash(lastComponent(target)) + ".tmp";
  ::unlink(temp.c_str());
  Descriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    if (!exists) throw systemFailure(errno, "Cannot create file", path, source);
    return inPlace(target, path);
  }
  if (!exists) {
    ::fchmod(fd.get(), 0666 & ~currentUmask());
    return std::make_unique<AtomicOutput>(target, temp, std::move(fd), path);
  }
  // A new file can stand in for the table only with the same owner and group, and only when
  // the table has no other name that would go on showing the old one.
  struct stat mine;
  bool replaceable = st.st_nlink == 1 && ::fstat(fd.get(), &mine) == 0 &&
                     ((mine.st_uid == st.st_uid && mine.st_gid == st.st_gid) ||
                      ::fchown(fd.get(), st.st_uid, st.st_gid) == 0) &&
                     ::fchmod(fd.get(), st.st_mode & 07777) == 0;
  if (!replaceable) {
    fd.reset();
    ::unlink(temp.c_str());
    return inPlace(target, path);
  }
  return std::make_unique<AtomicOutput>(target, temp, std::move(fd), path);
}

std::unique_ptr<BuildLock> PosixPlatform::lockBuild(const std::vector<std::string>& paths) {
  const char* source = "lock";
  std::vector<std::string> keys;
  for (const std::string& path : paths)
    if (!path.empty()) keys.push_back(resolvedPath(path));
  // Always taken in the same order, so two builds never each hold what the other waits for.
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::string folder = lockFolder();
  std::vector<Descriptor> held;
  bool said = false;
  for (const std::string& key : keys) {
    std::string name = folder + "/kelvane-" + shortHash(key) + ".lock";
    Descriptor fd(::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0 && errno == EACCES)
      fd = Descriptor(::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
      throw systemFailure(errno, "Cannot open the lock file for \"" + key + "\":", name, source);
    // Every account's builds must be able to open it.
    ::fchmod(fd.get(), 0666);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) throw systemFailure(errno, "Cannot lock", key, source);
      if (!said)
        std::cerr << "kelvane: waiting for another build using \"" << key << "\" to finish"
                  << std::endl;
      said = true;
      while (::flock(fd.get(), LOCK_EX) != 0)
        if (errno != EINTR) throw systemFailure(errno, "Cannot lock", key, source);
    }
    held.push_back(std::move(fd));
  }
  return std::make_unique<FileLocks>(std::move(held));
}

}  // namespace kelvane
