// Whole files read and written, and the input table read as a stream.

#include "posix/posix_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/failure.h"
#include "posix/posix_file_system.h"
#include "posix/posix_support.h"
#include "posix/posix_walk.h"

namespace kelvane {

using namespace posix;

namespace {

class PosixInput : public InputFile {
 public:
  PosixInput(Descriptor fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  size_t read(char* buffer, size_t size) override {
    for (;;) {
      ssize_t n = ::read(fd_.get(), buffer, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) throw systemFailure(errno, "Cannot read file", path_, "read");
    }
  }

 private:
  Descriptor fd_;
  std::string path_;
};

}  // namespace

namespace posix {

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

std::string notAPlainFile(const std::string& path, mode_t mode, const std::string& role) {
  const char* kind = S_ISDIR(mode)                    ? "a folder"
                     : S_ISFIFO(mode)                 ? "a pipe (FIFO)"
                     : S_ISSOCK(mode)                 ? "a socket"
                     : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                                                      : "not a plain file";
  return "\"" + path + "\" is " + kind + "; the " + role + " must be a plain file";
}

void refuseLinkedInForeignFolder(const PathTarget& r, const std::string& path,
                                 const std::string& role, const char* source) {
  if (r.exists && !r.replaceableBy.empty() && r.stat.st_nlink > 1)
    throw Failure(kErrRefused,
                  "Refused to build: the " + role + " \"" + path +
                      "\" has more than one name, in a folder that " + r.replaceableBy +
                      " can write; another name could be a link to any file. Give it one name",
                  source);
}

std::string whoCanChange(const PathTarget& r) {
  return !r.replaceableBy.empty()       ? r.replaceableBy
         : !isTrusted(r.stat.st_uid)    ? "the account " + accountName(r.stat.st_uid)
         : (r.stat.st_mode & 0020) != 0 ? "the accounts of its group"
         : (r.stat.st_mode & 0002) != 0 ? "any account"
                                        : "";
}

Descriptor openReached(const PathTarget& r, int flags, const std::string& path, const char* what,
                       const char* source) {
  Descriptor fd(::openat(r.folder.get(), r.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) throw systemFailure(errno, what, path, source);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw systemFailure(errno, what, path, source);
  // What was checked is what was opened: nothing took its place meanwhile.
  if (st.st_ino != r.stat.st_ino || st.st_dev != r.stat.st_dev)
    throw systemFailure(ESTALE, std::string(what) + " (it was replaced meanwhile)", path, source);
  return fd;
}

}  // namespace posix

std::string PosixFiles::readFile(const std::string& path) { return readWholeFile(path, "open"); }

std::string PosixFiles::readTrustedFile(const std::string& path) {
  const char* source = "open";
  WalkedPath walk = walkPath(path, true, source);
  PathTarget& r = walk.target;
  if (!walk.complete || !r.exists || r.name.empty())
    throw systemFailure(r.exists && r.name.empty() ? EISDIR : ENOENT, "Cannot open file", path,
                        source);
  if (!S_ISREG(r.stat.st_mode))
    throw Failure(EINVAL, notAPlainFile(path, r.stat.st_mode, "settings file"), source);
  // As a careful server refuses keys that others could have written: the settings decide
  // what a build deletes and writes.
  std::string who = whoCanChange(r);
  if (!who.empty())
    throw Failure(kErrRefused,
                  "Refused to build: the settings file \"" + path + "\" can be changed by " + who +
                      "; a build runs only settings that no account other than this one and "
                      "root can change. Make the file and its folder this account's or root's, "
                      "writable only by their owner",
                  source);
  return readAll(openReached(r, O_RDONLY | O_NONBLOCK, path, "Cannot open file", source).get(),
                 path);
}

void PosixFiles::writeFile(const std::string& path, std::string_view bytes) {
  // Saved as a table is, never cut short first: a full disk or a stop halfway leaves the old
  // file whole. A new file is writable by its owner alone whatever the umask, as a build
  // demands of a settings file; a file already there keeps its mode, owner and names.
  std::unique_ptr<OutputFile> file = createReplacement(path, 0644 & ~currentUmask());
  file->write(bytes);
  file->commit();
}

std::unique_ptr<InputFile> PosixFiles::openInput(const std::string& path) {
  const char* source = "open";
  WalkedPath walk = walkPath(path, true, source);
  PathTarget& r = walk.target;
  if (!walk.complete || !r.exists)
    throw systemFailure(walk.complete ? ENOENT : ENOTDIR, "Cannot open file", path, source);
  mode_t mode = r.name.empty() ? S_IFDIR : r.stat.st_mode;
  if (!S_ISREG(mode))
    throw Failure(S_ISDIR(mode) ? EISDIR : EINVAL, notAPlainFile(path, mode, "input VFS file"),
                  source);
  refuseLinkedInForeignFolder(r, path, "input VFS file", source);
  // Opened without waiting, so that a pipe put in the table's place cannot hold the build.
  Descriptor fd = openReached(r, O_RDONLY | O_NONBLOCK, path, "Cannot open file", source);
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
    throw systemFailure(errno, "Cannot open file", path, source);
  return std::make_unique<PosixInput>(std::move(fd), path);
}

}  // namespace kelvane
