// Where a report may be written, and a file put in place whole as a new file, never through
// a link another account could plant at its name.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/failure.h"
#include "posix/posix_file_system.h"
#include "posix/posix_files.h"
#include "posix/posix_support.h"

namespace kelvane {

using namespace posix;

namespace {

// The temporary name goes when the new file could not be put in place.
class TemporaryName {
 public:
  TemporaryName(int folder, std::string name) : folder_(folder), name_(std::move(name)) {}
  ~TemporaryName() {
    if (!kept_) ::unlinkat(folder_, name_.c_str(), 0);
  }
  const char* name() const { return name_.c_str(); }
  void keep() { kept_ = true; }

 private:
  int folder_;
  std::string name_;
  bool kept_ = false;
};

}  // namespace

void PosixFiles::writeNewFile(const std::string& path, std::string_view bytes) {
  const char* source = "open";
  systemPath(path, source);
  std::string name = lastComponent(path);
  if (name.empty() || name == "." || name == "..")
    throw Failure(EISDIR, "Cannot create file \"" + path + "\": it names a folder", source);
  std::string folderPath = parentOf(path);
  Descriptor folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) throw systemFailure(errno, "Cannot create file", path, source);

  // A name no file has yet: whatever already stands under one of these names (a leftover,
  // something planted) is passed over, never opened.
  Descriptor file;
  std::string temp;
  for (int attempt = 0; file.get() < 0; ++attempt) {
    temp = ".kelvane-" + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".new";
    file = Descriptor(::openat(folder.get(), temp.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.get() < 0 && (errno != EEXIST || attempt == 99))
      throw systemFailure(errno, "Cannot create file", path, source);
  }
  TemporaryName made(folder.get(), temp);
  writeAll(file.get(), bytes, path, "write");
  if (::fsync(file.get()) != 0) throw systemFailure(errno, "Cannot write file", path, "fsync");
  if (::close(file.release()) != 0) throw systemFailure(errno, "Cannot write file", path, "close");
  // Replaces a link at the name itself; a folder there refuses it (EISDIR).
  if (::renameat(folder.get(), made.name(), folder.get(), name.c_str()) != 0)
    throw systemFailure(errno, "Cannot replace file", path, "rename");
  made.keep();
}

bool PosixFiles::isSystemProgramFolder(const std::string& folder,
                                       const std::string& runningExecutable) {
  const char* source = "list folder";
  Descriptor dir(::open(systemPath(folder, source), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0)
    throw systemFailure(errno, "Cannot look at folder", folder, source);
  if (st.st_uid != 0) return false;

  // The running executable, by its name there and by what it is (a second name of it is no
  // other program).
  const std::string& executable = runningExecutable;
  std::string own = parentOf(executable) == folder ? lastComponent(executable) : "";
  struct stat running;
  bool known = ::stat(executable.c_str(), &running) == 0;
  for (const DirEntry& entry : readEntries(dir.get(), folder, source)) {
    // An old report may look executable (where every file is marked so): it is no program.
    if (entry.type == EntryType::Folder || entry.name == own || entry.name == kReportName) continue;
    if (::fstatat(dir.get(), entry.name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_mode & 0111) == 0)
      continue;
    if (!known || identityOf(st) != identityOf(running)) return true;
  }
  return false;
}

}  // namespace kelvane
