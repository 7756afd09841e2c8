#pragma once

// What a test asks of the system beyond files: a file's inode flags, a mount namespace of its
// own, the descriptors the process holds open. Linux only.

#include <functional>
#include <string>

namespace kelvane::testing {

// Sets path's inode flags (FS_IMMUTABLE_FL, FS_APPEND_FL: chattr +i, +a) for as long as the
// object lives, then clears them, so that the file can be removed. set() is false where the
// file system keeps no such flags, for the test to skip saying so.
class FileFlags {
 public:
  FileFlags(std::string path, int flags);
  ~FileFlags();
  FileFlags(const FileFlags&) = delete;
  FileFlags& operator=(const FileFlags&) = delete;
  bool set() const { return set_; }

 private:
  std::string path_;
  bool set_ = false;
};

// Runs body in a child process with a mount namespace of its own, so that a mount made there
// is seen by nothing else and goes with the child; the child's exit status (77 where the
// namespace cannot be had).
int inMountNamespace(const std::function<int()>& body);

bool bindMount(const std::string& from, const std::string& to);
// Binds folder onto itself read-only (in a mount namespace of the test's own).
bool mountReadOnly(const std::string& folder);

// The descriptors open in this process, the one counting them included.
long openDescriptors();

}  // namespace kelvane::testing
