// Whole files read and written, the output table replaced only when a build completes, and
// the lock two builds of the same settings take turns on.

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

class AtomicOutput : public OutputFile {
 public:
  AtomicOutput(std::string target, std::string temp, int fd)
      : target_(std::move(target)), temp_(std::move(temp)), fd_(fd) {
    buffer_.reserve(kBufferSize);
  }
  ~AtomicOutput() override {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(temp_.c_str());
  }

  void write(std::string_view bytes) override {
    if (buffer_.size() + bytes.size() > kBufferSize) flush();
    if (bytes.size() >= kBufferSize) {
      writeAll(fd_, bytes, target_, "write");
      return;
    }
    buffer_.append(bytes);
  }

  void commit() override {
    flush();
    if (::fsync(fd_) != 0) throw systemFailure(errno, "Cannot write file", target_, "fsync");
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw systemFailure(errno, "Cannot write file", target_, "close");
    if (::rename(temp_.c_str(), target_.c_str()) != 0)
      throw systemFailure(errno, "Cannot replace file", target_, "rename");
    committed_ = true;
  }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;

  void flush() {
    writeAll(fd_, buffer_, target_, "write");
    buffer_.clear();
  }

  std::string target_;
  std::string temp_;
  int fd_;
  bool committed_ = false;
  std::string buffer_;
};

class FileLock : public BuildLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {}
  ~FileLock() override { ::close(fd_); }

 private:
  int fd_;
};

}  // namespace

std::string PosixPlatform::readFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw systemFailure(errno, "Cannot open file", path, "open");
  Descriptor file(fd);
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
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

void PosixPlatform::writeFile(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw systemFailure(errno, "Cannot create file", path, "open");
  Descriptor file(fd);
  writeAll(fd, bytes, path, "write");
}

std::unique_ptr<OutputFile> PosixPlatform::createOutput(const std::string& path) {
  // A link is kept as a link: its target is what gets replaced.
  std::string target = path;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) != nullptr) target = buffer;
  }
  std::string temp = parentOf(target) + "/." + lastComponent(target) + ".kelvane-XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) throw systemFailure(errno, "Cannot create file", path, "open");
  mode_t mode = 0666 & ~currentUmask();
  if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
  ::fchmod(fd, mode);
  return std::make_unique<AtomicOutput>(target, temp, fd);
}

std::unique_ptr<BuildLock> PosixPlatform::lockBuild(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw systemFailure(errno, "Cannot open file to lock it", path, "lock");
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    int err = errno;
    ::close(fd);
    throw systemFailure(err, "Cannot lock file", path, "lock");
  }
  return std::make_unique<FileLock>(fd);
}

}  // namespace kelvane
