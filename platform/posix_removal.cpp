// Emptying the link root: every path below it is reached through descriptors opened one
// folder at a time without following links, so a link cannot lead the removal elsewhere.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/failure.h"
#include "platform/posix_platform.h"
#include "platform/posix_support.h"

namespace kelvane {

using namespace posix;

namespace {

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

}  // namespace

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
  // A descriptor kept from an earlier call may have been read to its end already.
  if (!lastOpenedFresh_ && ::lseek(fd, 0, SEEK_SET) != 0)
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

}  // namespace kelvane
