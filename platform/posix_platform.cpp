#include "platform/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "platform/failure.h"

namespace kelvane {
namespace {

bool endsWithSlash(const std::string& s) { return !s.empty() && s.back() == '/'; }

bool isHidden(std::string_view name) {
  return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

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

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct LinuxDirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

// Reads a whole open folder with large getdents64 calls, keeping what a listing returns.
// The entry type comes from the listing itself; only a file system that does not fill it
// in costs a stat.
std::vector<DirEntry> readEntries(int fd, const std::string& path, const char* source) {
  std::vector<DirEntry> entries;
  alignas(LinuxDirent64) char buffer[64 * 1024];
  for (;;) {
    long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n < 0) throw systemFailure(errno, "Cannot list folder", path, source);
    if (n == 0) break;
    for (long at = 0; at < n;) {
      auto* d = reinterpret_cast<LinuxDirent64*>(buffer + at);
      at += d->d_reclen;
      std::string_view name(d->d_name);
      if (isHidden(name)) continue;
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
          if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
          if (!typeFromMode(st.st_mode, type)) continue;
          break;
        }
        default:
          continue;
      }
      entries.push_back({std::string(name), type});
    }
  }
  return entries;
}

// Splits a path below root into its components, dropping empty ones.
std::vector<std::string> componentsBelow(const std::string& root, const std::string& path,
                                         const char* source) {
  if (path.compare(0, root.size(), root) != 0)
    throw Failure(EINVAL, "Path \"" + path + "\" is not below \"" + root + "\"", source);
  std::vector<std::string> parts;
  std::string rest = path.substr(root.size());
  size_t at = 0;
  while (at <= rest.size()) {
    size_t slash = rest.find('/', at);
    if (slash == std::string::npos) slash = rest.size();
    if (slash > at) parts.push_back(rest.substr(at, slash - at));
    at = slash + 1;
  }
  for (const auto& part : parts)
    if (part == "." || part == "..")
      throw Failure(EINVAL, "Path \"" + path + "\" leaves \"" + root + "\"", source);
  return parts;
}

std::string lexicallyNormal(const std::string& absolute) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= absolute.size()) {
    size_t slash = absolute.find('/', at);
    if (slash == std::string::npos) slash = absolute.size();
    std::string part = absolute.substr(at, slash - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = slash + 1;
  }
  std::string out;
  for (const auto& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

std::string currentFolder() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr)
    throw systemFailure(errno, "Cannot read the current folder", ".", "getcwd");
  return buffer;
}

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

PosixPlatform::PosixPlatform() = default;

PosixPlatform::~PosixPlatform() { closeChain(); }

std::vector<DirEntry> PosixPlatform::listFolder(const std::string& pattern) {
  if (pattern.empty()) return {};
  if (endsWithSlash(pattern)) {
    int fd = ::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return {};
      throw systemFailure(errno, "Cannot list folder", pattern, "open folder");
    }
    Descriptor folder(fd);
    return readEntries(fd, pattern, "list folder");
  }
  std::string name = lastComponent(pattern);
  if (isHidden(name)) return {};
  struct stat st;
  if (::lstat(pattern.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    throw systemFailure(errno, "Cannot look at", pattern, "lstat");
  }
  EntryType type;
  if (!typeFromMode(st.st_mode, type)) return {};
  return {{name, type}};
}

bool PosixPlatform::exists(const std::string& pattern) {
  if (pattern.empty()) return false;
  struct stat st;
  if (endsWithSlash(pattern)) return ::stat(pattern.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (isHidden(lastComponent(pattern))) return false;
  EntryType type;
  return ::lstat(pattern.c_str(), &st) == 0 && typeFromMode(st.st_mode, type);
}

bool PosixPlatform::fileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PosixPlatform::folderExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void PosixPlatform::createFolder(const std::string& path) {
  // Whatever is there already stands for the folder, as if it had been tested for first; a
  // file in the way shows up as soon as something is created inside it.
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
    throw systemFailure(errno, "Cannot create folder", path, "mkdir");
}

std::string PosixPlatform::resolvedPath(const std::string& path) {
  std::string absolute =
      lexicallyNormal(!path.empty() && path[0] == '/' ? path : currentFolder() + "/" + path);
  // Resolve the longest part that exists and keep the rest as written.
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

void PosixPlatform::closeChain() {
  for (auto& link : chain_) ::close(link.second);
  chain_.clear();
  chainRoot_.clear();
}

int PosixPlatform::openBelow(const std::string& root, const std::string& folder) {
  auto parts = componentsBelow(root, folder, "open folder");
  lastOpenedFresh_ = false;
  if (root != chainRoot_ || chain_.empty()) {
    closeChain();
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw systemFailure(errno, "Cannot open folder", root, "open folder");
    chainRoot_ = root;
    chain_.emplace_back(std::string(), fd);
    lastOpenedFresh_ = true;
  }
  size_t keep = 1;
  while (keep < chain_.size() && keep - 1 < parts.size() && chain_[keep].first == parts[keep - 1])
    ++keep;
  while (chain_.size() > keep) {
    ::close(chain_.back().second);
    chain_.pop_back();
  }
  std::string at = root;
  for (size_t i = 0; i < keep - 1; ++i) at += parts[i] + "/";
  for (size_t i = keep - 1; i < parts.size(); ++i) {
    at += parts[i] + "/";
    int fd = ::openat(chain_.back().second, parts[i].c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw systemFailure(errno, "Cannot open folder", at, "open folder");
    chain_.emplace_back(parts[i], fd);
    lastOpenedFresh_ = true;
  }
  return chain_.back().second;
}

std::vector<DirEntry> PosixPlatform::listForRemoval(const std::string& root,
                                                    const std::string& folder) {
  int fd = openBelow(root, folder);
  if (::lseek(fd, 0, SEEK_SET) != 0)
    throw systemFailure(errno, "Cannot list folder", folder, "lseek");
  return readEntries(fd, folder, "list folder");
}

void PosixPlatform::deleteForRemoval(const std::string& root, const std::string& path) {
  int fd = openBelow(root, parentOf(path) + "/");
  std::string name = lastComponent(path);
  struct stat st;
  if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    throw systemFailure(errno, "Cannot delete file", path, "delete file");
  // Deleting is not forced: a file without write permission is refused, as a user would
  // expect of a read-only file.
  if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0)
    throw systemFailure(EACCES, "Cannot delete read-only file", path, "delete file");
  if (::unlinkat(fd, name.c_str(), 0) != 0)
    throw systemFailure(errno, "Cannot delete file", path, "delete file");
}

void PosixPlatform::removeFolderForRemoval(const std::string& root, const std::string& path) {
  std::string folder = endsWithSlash(path) ? path.substr(0, path.size() - 1) : path;
  int fd = openBelow(root, parentOf(folder) + "/");
  // Opening the parent closed the folder's own descriptor if the chain held it.
  std::string name = lastComponent(folder);
  if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0)
    throw systemFailure(errno, "Cannot remove folder", folder, "remove folder");
}

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

std::string PosixPlatform::executablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n < 0)
    throw systemFailure(errno, "Cannot find the program's executable", "/proc/self/exe",
                        "readlink");
  return std::string(buffer, static_cast<size_t>(n));
}

std::string PosixPlatform::programFolder() { return parentOf(executablePath()); }

void PosixPlatform::startDetached(const std::string& program,
                                  const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  // The grandchild reports a failed exec through this pipe; a successful exec closes it.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0)
    throw systemFailure(errno, "Cannot start", program, "start process");
  pid_t child = ::fork();
  if (child < 0) {
    int err = errno;
    ::close(report[0]);
    ::close(report[1]);
    throw systemFailure(err, "Cannot start", program, "start process");
  }
  if (child == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::execvp(program.c_str(), argv.data());
    int err = errno;
    ssize_t ignored = ::write(report[1], &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  do n = ::read(report[0], &err, sizeof err);
  while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err))
    throw systemFailure(err, "Cannot start", program, "start process");
}

void PosixPlatform::message(const std::string& title, const std::string& text, Icon) {
  std::cerr << title << ": " << text << std::endl;
}

bool PosixPlatform::question(const std::string& title, const std::string& text, Icon icon) {
  message(title, text, icon);
  return false;
}

std::string PosixPlatform::saveDialog(const std::string&, const std::string&, const std::string&) {
  return {};
}

int PosixPlatform::runWindow(FrmMain&) {
  std::cerr << "kelvane: cannot open the settings window: no display "
               "(set DISPLAY, or run a build with kelvane '?settings.dat')"
            << std::endl;
  return 2;
}

}  // namespace kelvane
