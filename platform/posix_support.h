#pragma once

// Small pieces the Linux platform's files share: path parts, entry types, descriptors and
// folder reading.

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kelvane::posix {

bool endsWithSlash(const std::string& s);
// A name starting with "." other than "." and "..".
bool isHidden(std::string_view name);
std::string lastComponent(const std::string& path);
// The folder part of path: "." without one, "/" at the root.
std::string parentOf(const std::string& path);
// False for anything a listing leaves out (sockets, pipes, devices).
bool typeFromMode(mode_t mode, EntryType& type);

// Closes the descriptor it holds.
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

// Every entry a listing returns from the open folder fd; path names it in failures.
std::vector<DirEntry> readEntries(int fd, const std::string& path, const char* source);

}  // namespace kelvane::posix
