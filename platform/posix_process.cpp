// The running executable and the processes it starts.

#include <fcntl.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/failure.h"
#include "platform/posix_platform.h"
#include "platform/posix_support.h"

namespace kelvane {

using namespace posix;

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

}  // namespace kelvane
