// The output table: replaced only when a build completes, through the folder that was
// checked, and never through a link another account could have put in its place.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/failure.h"
#include "base/short_hash.h"
#include "posix/posix_file_system.h"
#include "posix/posix_files.h"
#include "posix/posix_support.h"
#include "posix/posix_table_flags.h"
#include "posix/posix_table_journal.h"

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
      tableStep("write");
      writeAll(fd_.get(), bytes, named_, "write");
      return;
    }
    buffer_.append(bytes);
  }

  void commit() override {
    flush();
    // A table whose bytes would not change is left as it is, its time with it, so that a
    // server watching it does not reload it for nothing.
    if (old_.get() >= 0 && sameBytes(old_.get(), fd_.get(), named_)) return;
    tableStep("fsync");
    if (::fsync(fd_.get()) != 0) throw systemFailure(errno, "Cannot write file", named_, "fsync");
    if (::close(fd_.release()) != 0)
      throw systemFailure(errno, "Cannot write file", named_, "close");
    tableStep("rename");
    if (::renameat(folder_.get(), temp_.c_str(), folder_.get(), target_.c_str()) != 0)
      throw systemFailure(errno, "Cannot replace file", named_, "rename");
    committed_ = true;
    // The new name lasts only once the folder is written (the checked folder is held as a
    // path only, so it is opened for that, where it can be read); a file system that cannot
    // sync a folder says EINVAL.
    Descriptor folder(::openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    tableStep("fsync folder");
    if (folder.get() >= 0 && ::fsync(folder.get()) != 0 && errno != EINVAL) {
      int err = errno;
      throw Failure(err,
                    "The new VFS file \"" + named_ +
                        "\" is in place and the mirror is built, but its folder could not be "
                        "synced (" +
                        std::strerror(err) +
                        "): a system crash now could still bring back the old table",
                    "fsync folder",
                    "Check the file system of the table's folder; build once more to be sure");
    }
  }
  // The table there now, read to tell whether the new one differs.
  void compareWith(Descriptor old) { old_ = std::move(old); }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;

  void flush() {
    tableStep("write");
    writeAll(fd_.get(), buffer_, named_, "write");
    buffer_.clear();
  }

  Descriptor folder_;
  std::string target_, temp_;  // names in folder_
  Descriptor fd_;
  std::string named_;  // the path as the settings name it, for failures
  bool committed_ = false;
  std::string buffer_;
  Descriptor old_;
};

// The table's place, checked as createOutput needs it: the folder that holds it (links
// followed), and the table there, which is absent or a plain file.
PathTarget reachOutput(const std::string& path) {
  systemPath(path, kSource);
  if (path.empty() || endsWithSlash(path))
    throw Failure(EISDIR, "The output VFS file \"" + path + "\" names a folder, not a file",
                  kSource);
  // A link is kept as a link: its target is what gets replaced.
  WalkedPath walk = walkPath(path, true, kSource);
  if (!walk.complete) throw systemFailure(ENOENT, "Cannot create file", path, kSource);
  PathTarget r = std::move(walk.target);
  mode_t mode = r.name.empty() ? S_IFDIR : r.stat.st_mode;
  if ((r.exists || r.name.empty()) && !S_ISREG(mode))
    throw Failure(S_ISDIR(mode) ? EISDIR : EINVAL, notAPlainFile(path, mode, "output VFS file"),
                  kSource);
  refuseUnchangeableTable(r, path, kSource);
  return r;
}

// Named after the table, so that the next build of it removes what a killed one left;
// builds of one table take turns, so a file of this name is always such a leftover.
std::string tempName(const PathTarget& r) { return ".kelvane-" + shortHash(r.name) + ".tmp"; }

// A table's other name that root or this account gave it would go on showing the old table
// after a rename; one another account gave its own table is its own affair.
bool namesAllowRename(const struct stat& table) {
  return table.st_nlink == 1 || !isTrusted(table.st_uid);
}

// Whether a new file of this account's can be given the table's owner and group.
bool ownerCanBeKept(const struct stat& table) {
  if (::geteuid() == 0) return true;
  if (table.st_uid != ::geteuid()) return false;
  if (table.st_gid == ::getegid()) return true;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
  int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(n, 0), table.st_gid) !=
         groups.begin() + std::max(n, 0);
}

// Extended attributes (ACLs among them) go with the table to the new file; false where one
// cannot be read or set, for the table to be written in place instead, which keeps them.
bool copyAttributes(int from, int to) {
  ssize_t size = ::flistxattr(from, nullptr, 0);
  if (size <= 0) return size == 0;
  std::string names(static_cast<size_t>(size), '\0');
  size = ::flistxattr(from, names.data(), names.size());
  if (size < 0) return false;
  names.resize(static_cast<size_t>(size));
  for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char* name = names.c_str() + at;
    ssize_t length = ::fgetxattr(from, name, nullptr, 0);
    if (length < 0) return false;
    std::string value(static_cast<size_t>(length), '\0');
    length = ::fgetxattr(from, name, value.data(), value.size());
    if (length < 0 || ::fsetxattr(to, name, value.data(), static_cast<size_t>(length), 0) != 0)
      return false;
  }
  return true;
}

// The journal of the table at path, among the state of the account in folder.
std::string journalOf(Files& files, const std::string& folder, const std::string& path) {
  return journalPath(folder + "/kelvane", files.resolvedPath(path));
}

// The journal a stopped build left for the table at path, or "" when there is none. Where
// the account has no state folder to find, no build of its could have left one.
std::string pendingJournal(Files& files, const std::string& path) {
  std::string folder;
  try {
    folder = files.userStateFolder();
  } catch (const Failure&) {
    return "";
  }
  std::string journal = journalOf(files, folder, path);
  return ::access(journal.c_str(), F_OK) == 0 ? journal : "";
}

std::unique_ptr<OutputFile> inPlace(Files& files, const PathTarget& r, const std::string& path) {
  refuseLinkedInForeignFolder(r, path, "output VFS file", kSource);
  Descriptor table = openReached(r, O_RDWR | O_NONBLOCK, path, "Cannot write file", kSource);
  std::string journal = journalOf(files, files.userStateFolder(), path);
  files.createPrivateFolders(parentOf(journal));
  return journaledOutput(std::move(table), path, journal);
}

}  // namespace

std::unique_ptr<OutputFile> PosixFiles::createOutput(const std::string& path) {
  PathTarget r = reachOutput(path);
  // A build stopped while it wrote this table in place left its old bytes: they come back
  // before anything else is decided.
  std::string journal = pendingJournal(*this, path);
  if (r.exists && !journal.empty()) {
    refuseLinkedInForeignFolder(r, path, "output VFS file", kSource);
    Descriptor table = openReached(r, O_RDWR | O_NONBLOCK, path, "Cannot write file", kSource);
    if (putBackFromJournal(journal, table.get(), path))
      warnings_.warn("kelvane: \"" + path +
                     "\" was put back as it was before a build that stopped while " +
                     "writing it (from \"" + journal + "\")");
    r = reachOutput(path);
  }
  const struct stat& st = r.stat;
  std::string temp = tempName(r);
  ::unlinkat(r.folder.get(), temp.c_str(), 0);
  Descriptor fd(::openat(r.folder.get(), temp.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) {
    // Only a folder that takes no new file makes the table be written in place; a full disk
    // or quota fails here, with the table as it was.
    if (!r.exists || (errno != EACCES && errno != EPERM))
      throw systemFailure(errno, "Cannot create file", path, kSource);
    return inPlace(*this, r, path);
  }
  auto atomic = [&](Descriptor old) {
    auto output =
        std::make_unique<AtomicOutput>(std::move(r.folder), r.name, temp, std::move(fd), path);
    output->compareWith(std::move(old));
    return output;
  };
  if (!r.exists) {
    ::fchmod(fd.get(), 0666 & ~currentUmask());
    return atomic(Descriptor());
  }
  // A new file can stand in for the table only with the same owner, group and attributes,
  // and only when the table has no other name that root or this account gave it, which
  // would go on showing the old one. A name another account gave its own table is no reason
  // to write it in place: that name keeps the old table.
  Descriptor old(
      ::openat(r.folder.get(), r.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat mine, now;
  bool sameFile = old.get() >= 0 && ::fstat(old.get(), &now) == 0 && now.st_ino == st.st_ino &&
                  now.st_dev == st.st_dev;
  bool replaceable = sameFile && namesAllowRename(st) && ::fstat(fd.get(), &mine) == 0 &&
                     ((mine.st_uid == st.st_uid && mine.st_gid == st.st_gid) ||
                      ::fchown(fd.get(), st.st_uid, st.st_gid) == 0) &&
                     ::fchmod(fd.get(), st.st_mode & 07777) == 0 &&
                     copyAttributes(old.get(), fd.get());
  if (!replaceable) {
    fd.reset();
    ::unlinkat(r.folder.get(), temp.c_str(), 0);
    return inPlace(*this, r, path);
  }
  return atomic(std::move(old));
}

void PosixFiles::checkOutput(const std::string& path) {
  PathTarget r = reachOutput(path);
  std::string journal = pendingJournal(*this, path);
  if (r.exists && !journal.empty())
    warnings_.warn("kelvane: a build stopped while writing \"" + path +
                   "\"; the next build puts back its old bytes from \"" + journal + "\" first");
  // As createOutput decides: a new file beside the table needs a folder that takes one, and
  // stands in for the table only where it can keep its names, owner and group; otherwise
  // the table itself is written in place.
  bool takesFile = ::faccessat(r.folder.get(), ".", W_OK, AT_EACCESS) == 0;
  // Only a folder that refuses this account makes the table be written in place; a
  // read-only file system fails creating the temporary file, as the build does.
  if (!takesFile && (!r.exists || (errno != EACCES && errno != EPERM)))
    throw systemFailure(errno, "Cannot create file", path, kSource);
  if (takesFile && (!r.exists || (namesAllowRename(r.stat) && ownerCanBeKept(r.stat)))) return;
  refuseLinkedInForeignFolder(r, path, "output VFS file", kSource);
  if (::faccessat(r.folder.get(), r.name.c_str(), R_OK | W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) !=
      0)
    throw systemFailure(errno, "Cannot write file", path, kSource);
  checkPrivateFolders(userStateFolder() + "/kelvane");  // where its journal would go
}

}  // namespace kelvane
