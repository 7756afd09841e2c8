// The last build's record: read only from a file and folders no other account can change,
// written whole through a new file of the running account's renamed into place.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/failure.h"
#include "posix/posix_file_system.h"
#include "posix/posix_files.h"
#include "posix/posix_same_bytes.h"
#include "posix/posix_support.h"
#include "posix/posix_table_journal.h"
#include "posix/posix_walk.h"

namespace kelvane {

using namespace posix;

namespace {

const char* const kSource = "build record";

class RecordFile : public RecordInput {
 public:
  RecordFile(Descriptor fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  size_t read(char* buffer, size_t size) override {
    for (;;) {
      ssize_t n = ::read(fd_.get(), buffer, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) throw systemFailure(errno, "Cannot read file", path_, "read");
    }
  }
  void restart() override {
    if (::lseek(fd_.get(), 0, SEEK_SET) != 0)
      throw systemFailure(errno, "Cannot read file", path_, "lseek");
  }

 private:
  Descriptor fd_;
  std::string path_;
};

// Written under a temporary name of its own in the checked folder, renamed over the record
// on commit; destroyed uncommitted, it leaves no file behind.
class RecordOutput : public OutputFile {
 public:
  RecordOutput(Descriptor folder, std::string name, std::string temp, Descriptor fd,
               std::string path)
      : folder_(std::move(folder)),
        name_(std::move(name)),
        temp_(std::move(temp)),
        fd_(std::move(fd)),
        path_(std::move(path)),
        bytes_(path_, false) {}
  ~RecordOutput() override {
    fd_.reset();
    if (!committed_) ::unlinkat(folder_.get(), temp_.c_str(), 0);
  }
  void write(std::string_view bytes) override {
    buffer_.append(bytes);
    if (buffer_.size() >= kBufferSize) flush();
  }
  // The record there now, this account's own, to tell whether the new one differs.
  void compareWith(Descriptor old) { bytes_.compareWith(std::move(old)); }
  void commit() override {
    flush();
    // A rebuild that found nothing changed writes the very record there is: that one stays,
    // and the disk is spared a sync of it.
    if (bytes_.sameAsOld(fd_.get())) return;
    if (tableCalls.fsync(fd_.get()) != 0)
      throw systemFailure(errno, "Cannot write file", path_, "fsync");
    if (::close(fd_.release()) != 0)
      throw systemFailure(errno, "Cannot write file", path_, "close");
    if (::renameat(folder_.get(), temp_.c_str(), folder_.get(), name_.c_str()) != 0)
      throw systemFailure(errno, "Cannot replace file", path_, "rename");
    committed_ = true;
    // Its new name is kept only then; a file system that cannot sync a folder says EINVAL.
    if (tableCalls.fsync(folder_.get()) != 0 && errno != EINVAL)
      throw systemFailure(errno, "Cannot write file", path_, "fsync folder");
  }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;
  void flush() {
    bytes_.write(fd_.get(), buffer_);
    buffer_.clear();
  }

  Descriptor folder_;
  std::string name_, temp_;
  Descriptor fd_;
  std::string path_;
  std::string buffer_;
  bool committed_ = false;
  WriteUnlessSame bytes_;
};

[[noreturn]] void refuse(const std::string& what, const std::string& who) {
  throw Failure(kErrRefused,
                "Refused the last build's record: " + what + " can be changed by " + who +
                    "; a record steers what a build looks at, so it is kept only where no "
                    "account other than this one and root can change it",
                kSource);
}

}  // namespace

std::unique_ptr<RecordInput> PosixFiles::openRecord(const std::string& path) {
  WalkedPath walk = walkPath(path, false, kSource);
  PathTarget& r = walk.target;
  if (!walk.complete || !r.exists || r.name.empty()) return nullptr;
  if (!S_ISREG(r.stat.st_mode))
    throw Failure(kErrRefused, notAPlainFile(path, r.stat.st_mode, "last build's record"), kSource);
  std::string who = whoCanChange(r);
  if (!who.empty()) refuse("\"" + path + "\"", who);
  // Root's own record is no record of a build this account ran; and only this program makes
  // records, each with one name.
  std::string why = r.stat.st_uid != ::geteuid()
                        ? "it belongs to the account " + accountName(r.stat.st_uid) +
                              ", not to the one running this build"
                    : r.stat.st_nlink != 1 ? "it has " + std::to_string(r.stat.st_nlink) + " names"
                                           : "";
  if (!why.empty())
    throw Failure(kErrRefused, "Refused the last build's record \"" + path + "\": " + why, kSource);
  Descriptor fd = openReached(r, O_RDONLY | O_NONBLOCK, path, "Cannot open file", kSource);
  return std::make_unique<RecordFile>(std::move(fd), path);
}

std::unique_ptr<OutputFile> PosixFiles::createRecord(const std::string& path) {
  std::string folderPath = parentOf(path);
  createPrivateFolders(folderPath);
  WalkedPath walk = walkPath(folderPath, true, kSource);
  PathTarget& r = walk.target;
  const struct stat& st = r.name.empty() ? r.folderStat : r.stat;
  if (!walk.complete || (!r.name.empty() && !r.exists) || !S_ISDIR(st.st_mode))
    throw systemFailure(ENOTDIR, "Cannot create file", path, kSource);
  std::string who = whoCanChange(r);
  if (!who.empty()) refuse("the folder \"" + folderPath + "\"", who);
  Descriptor folder(::openat(r.folder.get(), r.name.empty() ? "." : r.name.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat now;
  if (folder.get() < 0 || ::fstat(folder.get(), &now) != 0)
    throw systemFailure(errno, "Cannot create file", path, kSource);
  if (identityOf(now) != identityOf(st))
    throw systemFailure(ESTALE, "Cannot create file (its folder was replaced meanwhile)", path,
                        kSource);
  // Named after the record: builds of one link root take turns, so a file of this name is
  // always one a killed build left, and goes.
  std::string name = lastComponent(path);
  // Appended in steps: GCC 12 at -O3 takes "." + name for an overlapping copy.
  std::string temp(1, '.');
  temp.append(name).append(".new");
  ::unlinkat(folder.get(), temp.c_str(), 0);
  Descriptor fd(::openat(folder.get(), temp.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) throw systemFailure(errno, "Cannot create file", path, kSource);
  Descriptor old(
      ::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat was;
  if (old.get() >= 0 && (::fstat(old.get(), &was) != 0 || !S_ISREG(was.st_mode) ||
                         was.st_uid != ::geteuid() || was.st_nlink != 1 || (was.st_mode & 077)))
    old.reset();
  auto output = std::make_unique<RecordOutput>(std::move(folder), name, temp, std::move(fd), path);
  output->compareWith(std::move(old));
  return output;
}

}  // namespace kelvane
