// The link root opened once and emptied from that open folder: every folder below it is
// opened relative to its parent without following links, never on another file system or
// mount, with a bounded number of descriptors however deep the tree goes.

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "platform/failure.h"
#include "platform/posix_platform.h"
#include "platform/posix_support.h"

namespace kelvane {

using namespace posix;

namespace {

// Folders deeper than this many open ones are closed, and reopened through ".." (checked to
// be the same folder) when the walk comes back to them.
constexpr size_t kMaxOpenFolders = 32;

struct Place {
  dev_t device = 0;
  uint64_t mountId = 0;
  bool mountKnown = false;
  FileIdentity id;
};

Place placeOf(int fd, const std::string& path) {
  struct statx sx;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_MNT_ID, &sx) != 0)
    throw systemFailure(errno, "Cannot look at folder", path, "open folder");
  Place place;
  place.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  place.mountId = sx.stx_mnt_id;
  place.mountKnown = (sx.stx_mask & STATX_MNT_ID) != 0;
  place.id = {static_cast<uint64_t>(place.device), sx.stx_ino};
  return place;
}

// A mount table field with its blanks, tabs, line breaks and backslashes written as "\ooo".
std::string unescapeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      bool octal = true;
      for (size_t k = 1; k <= 3; ++k) {
        char c = field[i + k];
        if (c < '0' || c > '7') octal = false;
        value = value * 8 + (c - '0');
      }
      if (octal) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// name as a single entry of the current folder: never a path that the system would resolve
// through other folders (and links), nor the folder itself or its parent.
const char* entryName(const std::string& name, const char* source) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    throw Failure(EINVAL, "\"" + name + "\" is not the name of an entry of a folder", source);
  return systemPath(name, source);
}

class PosixFolderTree : public FolderTree {
 public:
  PosixFolderTree(std::string path, Descriptor fd, Place place)
      : path_(std::move(path)), root_(place) {
    levels_.push_back({"", place.id, std::move(fd), false});
  }

  std::vector<FileIdentity> chain() override { return folderChain(levels_[0].fd.get(), path_); }

  std::vector<std::string> mountsBelow() override {
    std::string self = "/proc/self/fd/" + std::to_string(levels_[0].fd.get());
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(self.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) throw systemFailure(errno, "Cannot resolve folder", path_, "mount table");
    std::string root(buffer, static_cast<size_t>(n));
    std::string prefix = root == "/" ? "/" : root + "/";
    std::string table = readWholeFile("/proc/self/mountinfo", "mount table");
    std::vector<std::string> below;
    size_t at = 0;
    while (at < table.size()) {
      size_t end = table.find('\n', at);
      if (end == std::string::npos) end = table.size();
      // The fifth blank-separated field is the mount point.
      size_t field = at;
      for (int i = 0; i < 4 && field < end; ++i) field = table.find(' ', field) + 1;
      size_t fieldEnd = std::min(table.find(' ', field), end);
      std::string point = unescapeMountField(table.substr(field, fieldEnd - field));
      if (point.size() > prefix.size() && point.compare(0, prefix.size(), prefix) == 0)
        below.push_back(point);
      at = end + 1;
    }
    return below;
  }

  std::vector<DirEntry> list() override {
    Level& level = levels_.back();
    // A folder read to its end before is read again from its start.
    if (level.listed && ::lseek(level.fd.get(), 0, SEEK_SET) != 0)
      throw systemFailure(errno, "Cannot list folder", currentPath(), "lseek");
    level.listed = true;
    return readEntries(level.fd.get(), currentPath(), "list folder");
  }

  void enter(const std::string& name) override {
    const char* source = "open folder";
    Descriptor fd(::openat(current(), entryName(name, source),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
      throw systemFailure(errno, "Cannot open folder", currentPath() + name, source);
    Place place = placeOf(fd.get(), currentPath() + name);
    if (place.device != root_.device ||
        (root_.mountKnown && place.mountKnown && place.mountId != root_.mountId))
      throw Failure(EXDEV,
                    "The folder \"" + currentPath() + name +
                        "\" is another file system or mount; nothing is removed across it",
                    source);
    levels_.push_back({name, place.id, std::move(fd), false});
    if (levels_.size() - firstOpen_ + 1 > kMaxOpenFolders) {
      levels_[firstOpen_].fd.reset();
      ++firstOpen_;
    }
  }

  void leave() override {
    if (levels_.size() < 2) throw std::logic_error("leaving the folder tree's own folder");
    Level child = std::move(levels_.back());
    levels_.pop_back();
    size_t top = levels_.size() - 1;
    if (top == 0 || top >= firstOpen_) return;
    Descriptor parent(::openat(child.fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (parent.get() < 0 || ::fstat(parent.get(), &st) != 0)
      throw systemFailure(errno, "Cannot open folder", currentPath(), "open folder");
    if (identityOf(st) != levels_[top].id)
      throw Failure(ESTALE,
                    "The folder \"" + currentPath() + child.name +
                        "\" was moved elsewhere while the old structure was removed",
                    "open folder");
    levels_[top].fd = std::move(parent);
    levels_[top].listed = false;
    firstOpen_ = top;
  }

  void deleteFile(const std::string& name) override {
    const char* source = "delete file";
    const char* entry = entryName(name, source);
    struct stat st;
    if (::fstatat(current(), entry, &st, AT_SYMLINK_NOFOLLOW) != 0)
      throw systemFailure(errno, "Cannot delete file", currentPath() + name, source);
    // Deleting is not forced: a file without write permission is refused, as a user would
    // expect of a read-only file.
    if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0)
      throw systemFailure(EACCES, "Cannot delete read-only file", currentPath() + name, source);
    if (::unlinkat(current(), entry, 0) != 0)
      throw systemFailure(errno, "Cannot delete file", currentPath() + name, source);
  }

  void removeFolder(const std::string& name) override {
    const char* source = "remove folder";
    if (::unlinkat(current(), entryName(name, source), AT_REMOVEDIR) != 0)
      throw systemFailure(errno, "Cannot remove folder", currentPath() + name, source);
  }

  std::string currentPath() override {
    std::string path = path_;
    for (size_t i = 1; i < levels_.size(); ++i) path += levels_[i].name + "/";
    return path;
  }

 private:
  struct Level {
    std::string name;
    FileIdentity id;
    Descriptor fd;  // closed for levels 1 to firstOpen_ - 1
    bool listed;
  };

  int current() const { return levels_.back().fd.get(); }

  std::string path_;  // as opened, ending in "/"
  Place root_;
  std::vector<Level> levels_;  // [0] is the tree's own folder, always open
  size_t firstOpen_ = 1;       // the levels from here to the top are open
};

}  // namespace

std::unique_ptr<FolderTree> PosixPlatform::openFolderTree(const std::string& path) {
  const char* source = "open folder";
  if (path.empty()) return nullptr;
  Descriptor fd(::open(systemPath(path, source), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return nullptr;
    throw systemFailure(errno, "Cannot open folder", path, source);
  }
  Place place = placeOf(fd.get(), path);
  return std::make_unique<PosixFolderTree>(endsWithSlash(path) ? path : path + "/", std::move(fd),
                                           place);
}

}  // namespace kelvane
