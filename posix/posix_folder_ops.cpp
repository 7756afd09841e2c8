#include "posix/posix_folder_ops.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "posix/posix_support.h"

namespace kelvane::posix {

namespace {

// The changes a walk makes, each in the open folder it is in (its path where): the same
// whether made as asked or behind the walk.
void unlinkEntry(int folder, const std::string& where, const std::string& name, bool isFolder) {
  if (::unlinkat(folder, name.c_str(), 0) == 0) return;
  int err = errno;
  // The right to remove entries here is asked only when the unlink is refused: then the
  // failure is the one checkRemoval gives, so that a dry run and its build say the same.
  if (::faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) != 0)
    throw removalRefusal(errno, isFolder, where + name);
  throw systemFailure(err, "Cannot delete file", where + name, "delete file");
}

void removeEmptyFolder(int folder, const std::string& where, const std::string& name) {
  if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0)
    throw systemFailure(errno, "Cannot remove folder", where + name, "remove folder");
}

}  // namespace

bool mountOf(int fd, FolderMount& place) {
  struct statx sx;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_MNT_ID, &sx) != 0) return false;
  place.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  place.mountId = sx.stx_mnt_id;
  place.mountKnown = (sx.stx_mask & STATX_MNT_ID) != 0;
  place.id = {static_cast<uint64_t>(place.device), sx.stx_ino};
  return true;
}

int openSubfolder(int dir, const char* name, const FolderMount& root) {
  // Also opened from the thread that makes changes behind the walk.
  static std::atomic<bool> haveOpenat2 = true;
  if (haveOpenat2) {
    struct open_how how {};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    long fd = ::syscall(SYS_openat2, dir, name, &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    haveOpenat2 = false;  // an older system: check the mount by hand
  }
  Descriptor fd(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return -1;
  FolderMount place;
  if (!mountOf(fd.get(), place)) return -1;
  if (place.device != root.device ||
      (root.mountKnown && place.mountKnown && place.mountId != root.mountId)) {
    errno = EXDEV;
    return -1;
  }
  return fd.release();
}

Failure removalRefusal(int refused, bool folder, const std::string& path) {
  return systemFailure(refused, folder ? "Cannot remove folder" : "Cannot delete file", path,
                       folder ? "remove folder" : "delete file");
}

bool renameEmptied(int folder, const std::string& where, const std::string& from,
                   const std::string& to, const FolderMount& root, int listed) {
  const char* source = "rename folder";
  // What stands at to is never replaced: the rename refuses, and from stays.
  if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) return false;
    throw systemFailure(errno, "Cannot rename folder", where + from, source);
  }
  // Whoever could write into it between its listing and the rename must not have left
  // anything in the new mirror folder. The descriptor the listing used is the very folder
  // renamed.
  Descriptor opened(listed >= 0 ? -1 : openSubfolder(folder, to.c_str(), root));
  int fd = listed >= 0 ? listed : opened.get();
  if (fd < 0) throw systemFailure(errno, "Cannot open folder", where + to, source);
  if (!isEmptyFolder(fd, where + to, source))
    throw Failure(ENOTEMPTY,
                  "The folder \"" + where + to + "\" (before \"" + from +
                      "\") was written into while the build emptied it",
                  source);
  return true;
}

bool makeChange(const ChangesBehind::Change& change, const FolderMount& root) {
  using What = ChangesBehind::What;
  switch (change.what) {
    case What::DeleteFile:
      unlinkEntry(change.folder, change.where, change.name, change.isFolder);
      return true;
    case What::RemoveFolder:
      removeEmptyFolder(change.folder, change.where, change.name);
      return true;
    case What::RenameFolder:
      // What the caller would do on hearing false, had the rename been made at once: its
      // questions were asked and answered then.
      if (renameEmptied(change.folder, change.where, change.name, change.to, root,
                        change.closing.get()))
        return true;
      removeEmptyFolder(change.folder, change.where, change.name);
      return false;
    case What::Close:
      break;
  }
  return true;
}

}  // namespace kelvane::posix
