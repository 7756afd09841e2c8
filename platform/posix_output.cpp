// The output table: replaced only when a build completes, through the folder that was
// checked, and never through a link another account could have put in its place.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/failure.h"
#include "platform/posix_files.h"
#include "platform/posix_platform.h"
#include "platform/posix_support.h"
#include "platform/short_hash.h"

namespace kelvane {

using namespace posix;

namespace {

const char* const kSource = "open";

// Bytes go to a temporary file beside the table, renamed over it on commit.
class AtomicOutput : public OutputFile {
 public:
  AtomicOutput(Descriptor folder, std::string target, std::string temp, Descriptor fd,
               std::string named)
      : folder_(std::move(folder)),
        target_(std::move(target)),
        temp_(std::move(temp)),
        fd_(std::move(fd)),
        named_(std::move(named)) {
    buffer_.reserve(kBufferSize);
  }
  ~AtomicOutput() override {
    fd_.reset();
    if (!committed_) ::unlinkat(folder_.get(), temp_.c_str(), 0);
  }

  void write(std::string_view bytes) override {
    if (buffer_.size() + bytes.size() > kBufferSize) flush();
    if (bytes.size() >= kBufferSize) {
      writeAll(fd_.get(), bytes, named_, "write");
      return;
    }
    buffer_.append(bytes);
  }

  void commit() override {
    flush();
    if (::fsync(fd_.get()) != 0) throw systemFailure(errno, "Cannot write file", named_, "fsync");
    if (::close(fd_.release()) != 0)
      throw systemFailure(errno, "Cannot write file", named_, "close");
    if (::renameat(folder_.get(), temp_.c_str(), folder_.get(), target_.c_str()) != 0)
      throw systemFailure(errno, "Cannot replace file", named_, "rename");
    committed_ = true;
    // The new name lasts only once the folder is written (the checked folder is held as a
    // path only, so it is opened for that, where it can be read); a file system that cannot
    // sync a folder says EINVAL.
    Descriptor folder(::openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0 && ::fsync(folder.get()) != 0 && errno != EINVAL)
      throw systemFailure(errno, "Cannot write file", named_, "fsync folder");
  }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;

  void flush() {
    writeAll(fd_.get(), buffer_, named_, "write");
    buffer_.clear();
  }

  Descriptor folder_;
  std::string target_, temp_;  // names in folder_
  Descriptor fd_;
  std::string named_;  // the path as the settings name it, for failures
  bool committed_ = false;
  std::string buffer_;
};

// For a table that a new file could not stand in for (another owner, more names, a folder
// that takes no new file): the table is opened now and written over on commit. Until then
// the new table is held in memory, since it may begin with this very file's lines; so are
// the table's bytes while it is written over, to be put back if the write fails. The room
// the new table needs is taken first, so a full disk fails with the table as it was, and it
// is cut to its length last, so that no old tail stays after a shorter one.
class InPlaceOutput : public OutputFile {
 public:
  InPlaceOutput(Descriptor fd, std::string named) : fd_(std::move(fd)), named_(std::move(named)) {}
  void write(std::string_view bytes) override { bytes_.append(bytes); }
  void commit() override {
    std::string before = readAll(fd_.get(), named_);
    // A file system without a way to set room aside (EOPNOTSUPP) is written at a venture.
    if (!bytes_.empty() &&
        ::fallocate(fd_.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes_.size())) != 0 &&
        errno != EOPNOTSUPP)
      throw systemFailure(errno, "Cannot write file", named_, "allocate");
    try {
      writeOver(bytes_);
    } catch (const Failure& failed) {
      try {
        writeOver(before);
      } catch (const Failure& again) {
        throw Failure(failed.number(),
                      failed.description() + "; putting its old bytes back failed too (" +
                          again.description() + "): restore the table from a copy",
                      failed.source());
      }
      throw;
    }
  }

 private:
  void writeOver(const std::string& bytes) {
    if (::lseek(fd_.get(), 0, SEEK_SET) != 0)
      throw systemFailure(errno, "Cannot write file", named_, "seek");
    writeAll(fd_.get(), bytes, named_, "write");
    if (::ftruncate(fd_.get(), static_cast<off_t>(bytes.size())) != 0)
      throw systemFailure(errno, "Cannot write file", named_, "truncate");
    if (::fsync(fd_.get()) != 0) throw systemFailure(errno, "Cannot write file", named_, "fsync");
  }

  Descriptor fd_;
  std::string named_;
  std::string bytes_;
};

// The table's place, checked as createOutput needs it: the folder that holds it (links
// followed), and the table there, which is absent or a plain file.
Reached reachOutput(const std::string& path) {
  systemPath(path, kSource);
  if (path.empty() || endsWithSlash(path))
    throw Failure(EISDIR, "The output VFS file \"" + path + "\" names a folder, not a file",
                  kSource);
  // A link is kept as a link: its target is what gets replaced.
  Walk walk = walkPath(path, true, kSource);
  if (!walk.complete) throw systemFailure(ENOENT, "Cannot create file", path, kSource);
  Reached r = std::move(walk.reached);
  mode_t mode = r.name.empty() ? S_IFDIR : r.stat.st_mode;
  if ((r.exists || r.name.empty()) && !S_ISREG(mode))
    throw Failure(S_ISDIR(mode) ? EISDIR : EINVAL, notAPlainFile(path, mode, "output VFS file"),
                  kSource);
  return r;
}

// Named after the table, so that the next build of it removes what a killed one left;
// builds of one table take turns, so a file of this name is always such a leftover.
std::string tempName(const Reached& r) { return ".kelvane-" + shortHash(r.name) + ".tmp"; }

std::unique_ptr<OutputFile> inPlace(const Reached& r, const std::string& path) {
  refuseLinkedInForeignFolder(r, path, "output VFS file", kSource);
  return std::make_unique<InPlaceOutput>(
      openReached(r, O_RDWR | O_NONBLOCK, path, "Cannot write file", kSource), path);
}

}  // namespace

std::unique_ptr<OutputFile> PosixPlatform::createOutput(const std::string& path) {
  Reached r = reachOutput(path);
  const struct stat& st = r.stat;
  std::string temp = tempName(r);
  ::unlinkat(r.folder.get(), temp.c_str(), 0);
  Descriptor fd(::openat(r.folder.get(), temp.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    // Only a folder that takes no new file makes the table be written in place; a full disk
    // or quota fails here, with the table as it was.
    if (!r.exists || (errno != EACCES && errno != EPERM))
      throw systemFailure(errno, "Cannot create file", path, kSource);
    return inPlace(r, path);
  }
  if (!r.exists) {
    ::fchmod(fd.get(), 0666 & ~currentUmask());
    return std::make_unique<AtomicOutput>(std::move(r.folder), r.name, temp, std::move(fd), path);
  }
  // A new file can stand in for the table only with the same owner and group, and only when
  // the table has no other name that would go on showing the old one.
  struct stat mine;
  bool replaceable = st.st_nlink == 1 && ::fstat(fd.get(), &mine) == 0 &&
                     ((mine.st_uid == st.st_uid && mine.st_gid == st.st_gid) ||
                      ::fchown(fd.get(), st.st_uid, st.st_gid) == 0) &&
                     ::fchmod(fd.get(), st.st_mode & 07777) == 0;
  if (!replaceable) {
    fd.reset();
    ::unlinkat(r.folder.get(), temp.c_str(), 0);
    return inPlace(r, path);
  }
  return std::make_unique<AtomicOutput>(std::move(r.folder), r.name, temp, std::move(fd), path);
}

void PosixPlatform::checkOutput(const std::string& path) {
  Reached r = reachOutput(path);
  // A new file beside the table needs a folder that takes one; without it, the table itself
  // is written in place.
  if (::faccessat(r.folder.get(), ".", W_OK, AT_EACCESS) == 0) return;
  if (!r.exists) throw systemFailure(errno, "Cannot create file", path, kSource);
  refuseLinkedInForeignFolder(r, path, "output VFS file", kSource);
  if (::faccessat(r.folder.get(), r.name.c_str(), R_OK | W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) !=
      0)
    throw systemFailure(errno, "Cannot write file", path, kSource);
}

}  // namespace kelvane
