#include "tests/support/system_setup.h"

#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace kelvane::testing {
namespace {

bool changeFlags(const std::string& path, int add, int remove) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  int flags = 0;
  bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
              ((flags = (flags | add) & ~remove), ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  if (fd >= 0) ::close(fd);
  return done;
}

}  // namespace

FileFlags::FileFlags(std::string path, int flags) : path_(std::move(path)) {
  set_ = changeFlags(path_, flags, 0);
}

FileFlags::~FileFlags() {
  if (set_) changeFlags(path_, 0, FS_IMMUTABLE_FL | FS_APPEND_FL);
}

int inMountNamespace(const std::function<int()>& body) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
      ::_exit(77);
    ::_exit(body());
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool bindMount(const std::string& from, const std::string& to) {
  return ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

bool mountReadOnly(const std::string& folder) {
  return bindMount(folder, folder) &&
         ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

long openDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

}  // namespace kelvane::testing
#endif
