// Folder listing and tests, folder creation, path resolution, and the windowless answers to
// messages and questions.

#include "platform/posix_platform.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "platform/failure.h"
#include "platform/posix_support.h"

namespace kelvane {

using namespace posix;

namespace {

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
