// The running executable, the processes it starts, and the user's own folders.

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "base/failure.h"
#include "posix/posix_file_system.h"
#include "posix/posix_processes.h"
#include "posix/posix_support.h"

namespace kelvane {

using namespace posix;

std::string PosixProcesses::executablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n < 0)
    throw systemFailure(errno, "Cannot find the program's executable", "/proc/self/exe",
                        "readlink");
  return std::string(buffer, static_cast<size_t>(n));
}

std::string PosixProcesses::programFolder() { return parentOf(executablePath()); }

namespace {

// In the new process: its standard streams on /dev/null, then program. A failed exec (or a
// failed fork, when the caller forks again) is told through report, which a successful exec
// closes.
[[noreturn]] void execOrReport(const std::string& program, std::vector<char*>& argv, int report,
                               int failure = 0) {
  if (failure == 0) {
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::execvp(program.c_str(), argv.data());
    failure = errno;
  }
  ssize_t ignored = ::write(report, &failure, sizeof failure);
  (void)ignored;
  ::_exit(127);
}

// Forks a child that runs body; throws when the fork fails or the child reports a failure
// through the pipe before its exec closes it.
template <typename Body>
pid_t forkChecked(const std::string& program, Body body) {
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
  if (child == 0) body(report[1]);
  ::close(report[1]);
  int err = 0;
  ssize_t n;
  do n = ::read(report[0], &err, sizeof err);
  while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof err)) {
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    throw systemFailure(err, "Cannot start", program, "start process");
  }
  return child;
}

std::vector<char*> argvOf(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

class PosixWatchedProcess : public WatchedProcess {
 public:
  PosixWatchedProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
  ~PosixWatchedProcess() override { ::close(pidfd_); }

  std::optional<int> exitStatus() override {
    if (status_) return status_;
    int status = 0;
    pid_t ended;
    do ended = ::waitpid(pid_, &status, WNOHANG);
    while (ended < 0 && errno == EINTR);
    if (ended == pid_)
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    else if (ended < 0)
      status_ = -1;  // reaped by someone else
    return status_;
  }
  std::intptr_t endHandle() const override { return pidfd_; }

 private:
  pid_t pid_;
  int pidfd_;
  std::optional<int> status_;
};

}  // namespace

void PosixProcesses::startDetached(const std::string& program,
                                   const std::vector<std::string>& args) {
  std::vector<char*> argv = argvOf(program, args);
  // The grandchild is nobody's to wait for: init takes it when the child ends at once.
  pid_t child = forkChecked(program, [&](int report) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild > 0) ::_exit(0);
    execOrReport(program, argv, report, grandchild < 0 ? errno : 0);
  });
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::unique_ptr<WatchedProcess> PosixProcesses::startWatched(const std::string& program,
                                                             const std::vector<std::string>& args) {
  std::vector<char*> argv = argvOf(program, args);
  // A session of its own, so that the build goes on when the window's terminal goes away.
  pid_t child = forkChecked(program, [&](int report) {
    ::setsid();
    execOrReport(program, argv, report);
  });
  // The system call itself: glibc 2.36's header declares its wrapper without C linkage.
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  if (pidfd < 0)
    throw systemFailure(errno, "Started, but cannot watch for the end of", program, "pidfd_open");
  return std::make_unique<PosixWatchedProcess>(child, pidfd);
}

bool PosixFiles::folderWritable(const std::string& folder) {
  // The effective user's rights, as a file created there would get them; a read-only file
  // system answers EROFS even to root.
  return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string PosixFiles::userStateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // As the XDG base directory rules have it: a relative path is invalid and is ignored.
  if (state != nullptr && state[0] == '/') return state;
  // Root's home is no place for the state of a build that cron or a timer runs: Debian keeps
  // a system account's state in /var/lib.
  if (runsAsRoot()) return "/var/lib";
  std::string home;
  const char* variable = std::getenv("HOME");
  if (variable != nullptr && variable[0] == '/') {
    home = variable;
  } else {
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    int err = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
    if (found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
      throw systemFailure(err != 0 ? err : ENOENT, "Cannot find the home folder of user",
                          std::to_string(::geteuid()), "getpwuid");
    home = found->pw_dir;
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return (home == "/" ? "" : home) + "/.local/state";
}

bool PosixFiles::runsAsRoot() const { return ::geteuid() == 0; }

namespace {

// Each leading folder of the absolute path folder, from the top: "/a", "/a/b", ...
std::vector<std::string> levelsOf(const std::string& folder) {
  if (folder.empty() || folder[0] != '/')
    throw Failure(ENOENT, "Cannot create folder \"" + folder + "\": not an absolute path", "mkdir");
  std::vector<std::string> levels;
  for (size_t at = 1; at <= folder.size();) {
    size_t slash = std::min(folder.find('/', at), folder.size());
    if (slash > at) levels.push_back(folder.substr(0, slash));
    at = slash + 1;
  }
  return levels;
}

// A level already there is fine when it is a folder or a link to one.
void refuseNonFolder(int err, const std::string& level) {
  struct stat st;
  if (err != EEXIST || ::stat(level.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw systemFailure(err == EEXIST ? ENOTDIR : err, "Cannot create folder", level, "mkdir");
}

}  // namespace

void PosixFiles::createPrivateFolders(const std::string& folder) {
  for (const std::string& level : levelsOf(folder))
    if (::mkdir(level.c_str(), 0700) != 0) refuseNonFolder(errno, level);
}

void PosixFiles::checkPrivateFolders(const std::string& folder) {
  for (const std::string& level : levelsOf(folder)) {
    struct stat st;
    if (::stat(level.c_str(), &st) == 0) {
      refuseNonFolder(EEXIST, level);
      continue;
    }
    if (errno != ENOENT) throw systemFailure(errno, "Cannot create folder", level, "mkdir");
    // The first missing level: mkdir needs the right to write the folder above it, on a
    // file system that takes changes; the levels below would be made inside it.
    if (::faccessat(AT_FDCWD, parentOf(level).c_str(), W_OK | X_OK, AT_EACCESS) != 0)
      throw systemFailure(errno, "Cannot create folder", level, "mkdir");
    return;
  }
}

}  // namespace kelvane
