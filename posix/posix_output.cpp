// The output table: replaced only when a build completes, through the folder that was
// checked, and never through a link another account could have put in its place.

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "base/failure.h"
#include "base/short_hash.h"
#include "posix/posix_file_system.h"
#include "posix/posix_files.h"
#include "posix/posix_journal_place.h"
#include "posix/posix_same_bytes.h"
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
        named_(std::move(named)),
        bytes_(named_, true) {
    buffer_.reserve(kBufferSize);
  }
  ~AtomicOutput() override {
    fd_.reset();
    if (!committed_) ::unlinkat(folder_.get(), temp_.c_str(), 0);
  }

  void write(std::string_view bytes) override {
    if (buffer_.size() + bytes.size() > kBufferSize) flush();
    if (bytes.size() >= kBufferSize) {
      bytes_.write(fd_.get(), bytes);
      return;
    }
    buffer_.append(bytes);
  }

  void commit() override {
    flush();
    // A table whose bytes would not change is left as it is, its time with it, so that a
    // server watching it does not reload it for nothing.
    if (bytes_.sameAsOld(fd_.get())) return;
    tableStep("fsync");
    if (tableCalls.fsync(fd_.get()) != 0)
      throw systemFailure(errno, "Cannot write file", named_, "fsync");
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
    if (folder.get() >= 0 && tableCalls.fsync(folder.get()) != 0 && errno != EINVAL) {
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
  void compareWith(Descriptor old) { bytes_.compareWith(std::move(old)); }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;

  void flush() {
    bytes_.write(fd_.get(), buffer_);
    buffer_.clear();
  }

  Descriptor folder_;
  std::string target_, temp_;  // names in folder_
  Descriptor fd_;
  std::string named_;  // the path as the settings name it, for failures
  bool committed_ = false;
  std::string buffer_;
  WriteUnlessSame bytes_;
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

// The temporary table's names begin with the table's own mark, so that the next build of it
// finds what a killed one left; the rest is random, so that no one can put something at the
// name first. Builds of one table take turns, so a name so marked is always such a leftover.
std::string tempMark(const PathTarget& r) { return ".kelvane-" + shortHash(r.name); }

std::string randomTempName(const PathTarget& r) {
  unsigned char bytes[8];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
    throw systemFailure(errno, "Cannot choose a temporary name for", r.shown, kSource);
  char text[2 * sizeof bytes + 1];
  for (size_t i = 0; i < sizeof bytes; ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
  return tempMark(r) + "-" + text + ".tmp";
}

// What killed builds of this table left in its folder: only plain files of the running
// account's with one name are removed; anything else of the name is no leftover of a build's.
void removeLeftovers(const PathTarget& r) {
  Descriptor folder(::openat(r.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* listing = folder.get() < 0 ? nullptr : ::fdopendir(folder.get());
  if (listing == nullptr) return;  // one that cannot be listed takes no new file either
  int fd = folder.release();
  std::string mark = tempMark(r);
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(listing)) {
    std::string_view name(entry->d_name);
    if (name.size() > mark.size() + 4 && name.substr(0, mark.size()) == mark &&
        name.substr(name.size() - 4) == ".tmp")
      found.emplace_back(name);
  }
  for (const std::string& name : found) {
    struct stat st;
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == ::geteuid() && st.st_nlink == 1)
      ::unlinkat(fd, name.c_str(), 0);
  }
  ::closedir(listing);
}

// A new file beside the table under a name no one else has, the name with it; -1 with errno
// set where the folder takes none.
Descriptor createTemp(const PathTarget& r, std::string& temp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = randomTempName(r);
    Descriptor fd(::openat(r.folder.get(), temp.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() >= 0 || errno != EEXIST) return fd;
  }
  return Descriptor();
}

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

// Where the running account keeps its journals.
std::string journalFolderOf(Files& files) { return files.userStateFolder() + "/kelvane"; }

// The journal a stopped build left for the table r reached, opened, with its folder; none
// where there is none. Where the account has no state folder to find, no build of its could
// have left one; and only something there at the journal's name is looked at closely, so a
// state folder another account can write steers nothing until it holds one.
struct PendingJournal {
  JournalFolder folder;
  Descriptor journal;
};
std::optional<PendingJournal> pendingJournal(Files& files, const PathTarget& r) {
  if (!r.exists) return std::nullopt;
  std::string folder;
  try {
    folder = journalFolderOf(files);
  } catch (const Failure&) {
    return std::nullopt;
  }
  struct stat st;
  std::string name = journalName(r.stat);
  if (::lstat((folder + "/" + name).c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
    return std::nullopt;
  PendingJournal found{openJournalFolder(folder, false), Descriptor()};
  found.journal = openJournal(found.folder, name);
  if (found.journal.get() < 0) return std::nullopt;
  return found;
}

std::unique_ptr<OutputFile> inPlace(Files& files, const PathTarget& r, const std::string& path) {
  refuseLinkedInForeignFolder(r, path, "output VFS file", kSource);
  Descriptor table = openReached(r, O_RDWR | O_NONBLOCK, path, "Cannot write file", kSource);
  return journaledOutput(std::move(table), path, openJournalFolder(journalFolderOf(files), true));
}

}  // namespace

std::unique_ptr<OutputFile> PosixFiles::createOutput(const std::string& path) {
  return createReplacement(path, 0666 & ~currentUmask());
}

std::unique_ptr<OutputFile> PosixFiles::createReplacement(const std::string& path,
                                                          mode_t newFileMode) {
  PathTarget r = reachOutput(path);
  // A build stopped while it wrote this table in place left its old bytes: they come back
  // before anything else is decided.
  if (std::optional<PendingJournal> pending = pendingJournal(*this, r)) {
    refuseLinkedInForeignFolder(r, path, "output VFS file", kSource);
    Descriptor table = openReached(r, O_RDWR | O_NONBLOCK, path, "Cannot write file", kSource);
    std::string journal = pending->folder.pathOf(journalName(r.stat));
    putBackFromJournal(pending->folder, std::move(pending->journal), table.get(), path);
    warnings_.warn("kelvane: \"" + path +
                   "\" was put back as it was before a build that stopped while writing it " +
                   "(from \"" + journal + "\")");
    r = reachOutput(path);
  }
  const struct stat& st = r.stat;
  removeLeftovers(r);
  std::string temp;
  Descriptor fd = createTemp(r, temp);
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
    ::fchmod(fd.get(), newFileMode);
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
  if (std::optional<PendingJournal> pending = pendingJournal(*this, r))
    warnings_.warn("kelvane: a build stopped while writing \"" + path +
                   "\"; the next build puts back its old bytes from \"" +
                   pending->folder.pathOf(journalName(r.stat)) + "\" first");
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
  openJournalFolder(journalFolderOf(*this), false);     // where its journal would go: trusted,
  checkPrivateFolders(userStateFolder() + "/kelvane");  // and one this account could make
}

}  // namespace kelvane
