#include "posix/posix_lock_holder.h"

#include <dirent.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "posix/posix_walk.h"

namespace kelvane::posix {
namespace {

// /proc/locks lines read "1: FLOCK ADVISORY WRITE 1234 08:01:5678 0 EOF"; the kernel writes
// the device as two hexadecimal numbers of at least two digits. Lines of those still
// waiting for a lock have "->" as their second field.
std::vector<std::string> pidsLocking(const struct stat& file) {
  std::ifstream locks("/proc/locks");
  std::vector<std::string> pids;
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string id, kind, advisory, mode, pid, where;
    if (!(fields >> id >> kind >> advisory >> mode >> pid >> where) || kind == "->") continue;
    unsigned major = 0, minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
    if (makedev(major, minor) != file.st_dev || inode != file.st_ino) continue;
    if (pid != std::to_string(::getpid())) pids.push_back(pid);
  }
  return pids;
}

// The number /proc/locks gives may be of a process that ended, or of another that took
// its number since: only one that has the file open now can hold the lock.
bool hasOpen(const std::string& pid, const struct stat& file) {
  std::string folder = "/proc/" + pid + "/fd";
  DIR* fds = ::opendir(folder.c_str());
  if (!fds) return false;
  bool found = false;
  while (dirent* entry = ::readdir(fds)) {
    struct stat st;
    std::string fd = folder + "/" + entry->d_name;
    if (entry->d_name[0] != '.' && ::stat(fd.c_str(), &st) == 0 && st.st_dev == file.st_dev &&
        st.st_ino == file.st_ino) {
      found = true;
      break;
    }
  }
  ::closedir(fds);
  return found;
}

std::string describe(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line, name, uid;
  while (std::getline(status, line)) {
    if (line.rfind("Name:", 0) == 0) std::istringstream(line.substr(5)) >> name;
    if (line.rfind("Uid:", 0) == 0) std::istringstream(line.substr(4)) >> uid;
  }
  std::string account =
      uid.empty() ? "" : " of " + accountName(static_cast<uid_t>(std::stoul(uid)));
  char exe[PATH_MAX];
  ssize_t size = ::readlink(("/proc/" + pid + "/exe").c_str(), exe, sizeof exe - 1);
  std::string program = size > 0 ? std::string(exe, static_cast<size_t>(size)) : "";
  if (program.substr(program.find_last_of('/') + 1) == "kelvane")
    return "the build of process " + pid + account;
  return "process " + pid + (name.empty() ? "" : " (" + name + ")") + account;
}

}  // namespace

std::string lockHolder(const struct stat& lockFile) {
  std::string found;
  for (const std::string& pid : pidsLocking(lockFile))
    if (hasOpen(pid, lockFile)) found += (found.empty() ? "" : ", ") + describe(pid);
  return found;
}

}  // namespace kelvane::posix
