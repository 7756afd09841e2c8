// The locks that builds sharing a link root or a table take turns on. LockFileEx needs
// nothing but read access, so a lock is only ever taken on a plain file with one name that
// only the builders may open (see LockSecurity): one found that another account owns or may
// open is refused, never used. Every spelling of a path (another case, a short 8.3 name, "."
// and "..", a link or junction on the way) is first resolved, through a handle to what it
// leads to, to the real folder holding that and its real name there:
// - A link root: ".kelvane.lock" in the link root itself (hidden names are never listed, so
//   no build removes it). Beside it, in the folder holding the link root, a build that finds
//   no link root locks ".kelvane-<hash of its name>.lock", which builds of the link root also
//   take wherever it is there: so the build that makes the link root and one that finds it
//   made take turns too.
// - A table: ".kelvane-<hash of its name>.lock" in the folder holding it; for a table with
//   several names, the hash of its identity (volume serial number and file index), so that
//   every name of it in that folder gives one lock. A table with one name is keyed by that
//   name, not by its identity: a build that replaces it leaves a new file there.
// A dry run only shares the lock files already there. A lock file of the builders that this
// account may not open is not taken: this account is none of them.

#include <optional>

#include "base/short_hash.h"
#include "win/win_file_system.h"
#include "win/win_nt.h"
#include "win/win_security.h"
#include "win/win_support.h"

namespace kelvane {

using namespace win;

namespace {

const char* const kSource = "lock";
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What would let another account hold a lock, open it without sharing, remove it or let
// others in.
constexpr ACCESS_MASK kHolding = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA |
                                 FILE_EXECUTE | DELETE | WRITE_DAC | WRITE_OWNER;

class FileLock : public PathLock {
 public:
  FileLock(Handle h, std::string shown, bool shared, FileIdentity identity)
      : h_(std::move(h)), shown_(std::move(shown)), shared_(shared), identity_(identity) {}

  bool tryHold() override { return lock(LOCKFILE_FAIL_IMMEDIATELY); }
  bool holdWithin(double seconds) override {
    ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    for (;;) {
      if (tryHold()) return true;
      if (::GetTickCount64() >= end) return false;
      ::Sleep(200);
    }
  }
  // The system does not tell who holds a byte range.
  std::string holder() override { return ""; }
  FileIdentity identity() const override { return identity_; }
  const std::string& shown() const override { return shown_; }

 private:
  bool lock(DWORD flags) {
    OVERLAPPED at{};
    if (::LockFileEx(h_.get(), flags | (shared_ ? 0 : LOCKFILE_EXCLUSIVE_LOCK), 0, 1, 0, &at))
      return true;
    DWORD err = ::GetLastError();
    if (flags && err == ERROR_LOCK_VIOLATION) return false;
    throw errorFailure(err, "Cannot lock file", shown_, kSource);
  }

  Handle h_;  // closing it lets the lock go
  std::string shown_;
  bool shared_;
  FileIdentity identity_;
};

std::wstring inFolder(const std::wstring& folder, const std::wstring& name) {
  return folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

// The system takes "VFS.TXT" for "vfs.txt": one key for both.
std::wstring hashedLockName(std::wstring key) {
  ::CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  return L".kelvane-" + wide(shortHash(narrow(key))) + L".lock";
}

Failure refusedLock(const std::string& shown, const std::string& is) {
  return Failure(kErrRefused,
                 "Cannot lock \"" + shown +
                     "\": builds take turns only on a plain file with one name that no "
                     "account but the builders, SYSTEM and the Administrators owns or may "
                     "open, and this is " +
                     is,
                 kSource, "Remove \"" + shown + "\"; the next build makes it anew");
}

// The lock file name in folder (opened with READ_CONTROL); nullptr where none is there and
// make is false, or where this account may not open it.
std::unique_ptr<PathLock> openLockFile(HANDLE folder, const std::wstring& folderPath,
                                       const std::wstring& name, bool shared, bool make) {
  std::string shown = narrow(inFolder(folderPath, name));
  // Read access is enough to lock. Opening returns at once even when another program holds
  // the file under an opportunistic lock, and finds a reparse point as itself.
  LockSecurity security(folder);
  NTSTATUS status = 0;
  const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  Handle h =
      openIn(folder, name,
             {GENERIC_READ | READ_CONTROL, share, make ? ULONG(FILE_OPEN_IF) : ULONG(FILE_OPEN),
              FILE_COMPLETE_IF_OPLOCKED, FILE_ATTRIBUTE_HIDDEN, security.get()},
             status);
  bool readable = bool(h);
  // Whose a file this account may not open is, may still be seen.
  if (!h && ::RtlNtStatusToDosError(status) == ERROR_ACCESS_DENIED)
    h = openIn(folder, name, {READ_CONTROL, share, FILE_OPEN, FILE_COMPLETE_IF_OPLOCKED}, status);
  if (!h) {
    DWORD err = ::RtlNtStatusToDosError(status);
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_ACCESS_DENIED) return nullptr;
    throw errorFailure(err, "Cannot open the lock file", shown, kSource);
  }
  bool device = ::GetFileType(h.get()) != FILE_TYPE_DISK;
  HandleInfo info = device ? HandleInfo{} : infoOf(h.get(), shown, kSource);
  DWORD listed = 0;
  if (device || info.isFolder() || info.isReparse() ||
      (listedAttributes(folder, name, listed) &&
       (listed & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))))
    throw refusedLock(shown, "something other than a plain file");
  if (info.info.nNumberOfLinks != 1) throw refusedLock(shown, "a file with more than one name");
  std::string stranger = strangerWithRights(h.get(), kHolding, folder);
  if (!stranger.empty()) throw refusedLock(shown, "a file that " + stranger + " owns or may open");
  if (!readable) return nullptr;
  return std::make_unique<FileLock>(std::move(h), shown, shared, identityOf(info));
}

// Where what a path guards stands: the real folder holding it and its real name there.
struct Place {
  Handle folder;  // READ_CONTROL, not through a reparse point
  std::wstring folderPath, name;
  std::optional<HandleInfo> guarded;  // what is there, when anything is
};

std::optional<Place> placeOf(const std::string& path) {
  std::wstring full = fullPathOf(widePath(path, kSource), path, kSource);
  while (full.size() > rootOf(full).size() && (full.back() == L'\\' || full.back() == L'/'))
    full.pop_back();
  auto missing = [](DWORD err) {
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
  };
  // A device ("NUL", "\\.\COM1") is no file that a build could lock or write.
  if (full.rfind(L"\\\\.\\", 0) == 0) return std::nullopt;
  // Links and junctions followed, as the build follows them to what it acts on.
  Handle target = openForLooking(longPath(full), true);
  if (target && ::GetFileType(target.get()) != FILE_TYPE_DISK) return std::nullopt;
  std::wstring real;
  if (target) {
    real = finalPath(target.get(), path, kSource);
  } else {
    DWORD err = ::GetLastError();
    std::wstring above = parentText(full);
    if (!missing(err) || above.empty())
      throw errorFailure(err, "Cannot open what is to be locked", path, kSource);
    Handle folder = openForLooking(longPath(above), true);
    // Nothing to guard yet where even the folder that would hold it is missing.
    if (!folder && missing(::GetLastError())) return std::nullopt;
    if (!folder) throw lastErrorFailure("Cannot open the folder holding", path, kSource);
    if (!infoOf(folder.get(), path, kSource).isFolder()) return std::nullopt;
    real = inFolder(finalPath(folder.get(), path, kSource),
                    full.substr(above.size() + (above.back() == L'\\' ? 0 : 1)));
  }
  Place place;
  place.folderPath = parentText(real);
  if (place.folderPath.empty()) return std::nullopt;  // a root: no folder holds it
  place.name = real.substr(place.folderPath.size() + (place.folderPath.back() == L'\\' ? 0 : 1));
  std::string shownFolder = narrow(place.folderPath);
  place.folder = Handle(::CreateFileW(
      longPath(place.folderPath).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!place.folder)
    throw lastErrorFailure("Cannot open the folder of the lock file", shownFolder, kSource);
  HandleInfo folder = infoOf(place.folder.get(), shownFolder, kSource);
  bool changed = !folder.isFolder() || folder.isReparse();
  if (target && !changed) {
    // What the name leads to in the folder opened is what the path led to.
    NTSTATUS status = 0;
    Handle here = openIn(place.folder.get(), place.name, {0, kShareAll, FILE_OPEN, 0}, status);
    if (here) place.guarded = infoOf(here.get(), path, kSource);
    changed =
        !here || identityOf(*place.guarded) != identityOf(infoOf(target.get(), path, kSource));
  }
  if (changed)
    throw Failure(ERROR_ACCESS_DENIED,
                  "Cannot lock \"" + path + "\": it was moved or replaced while it was locked",
                  kSource, "Run the build again once nothing moves \"" + path + "\"");
  return place;
}

}  // namespace

std::vector<std::unique_ptr<PathLock>> WinFiles::openLocks(const std::string& path, Guarded what,
                                                           bool shared) {
  std::vector<std::unique_ptr<PathLock>> locks;
  if (path.empty()) return locks;
  std::optional<Place> place = placeOf(path);
  if (!place) return locks;
  auto add = [&](std::unique_ptr<PathLock> lock) {
    if (lock) locks.push_back(std::move(lock));
  };
  const std::optional<HandleInfo>& guarded = place->guarded;
  if (what == Guarded::Table) {
    bool severalNames = guarded && !guarded->isFolder() && guarded->info.nNumberOfLinks > 1;
    FileIdentity id = guarded ? identityOf(*guarded) : FileIdentity{};
    std::wstring key =
        severalNames
            ? wide("identity " + std::to_string(id.device) + ":" + std::to_string(id.inode))
            : place->name;
    add(openLockFile(place->folder.get(), place->folderPath, hashedLockName(key), shared, !shared));
    return locks;
  }
  if (guarded && guarded->isFolder()) {
    std::wstring rootPath = inFolder(place->folderPath, place->name);
    Handle root = openInOrFail(place->folder.get(), place->name,
                               {READ_CONTROL, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE},
                               narrow(rootPath), "Cannot open the link root to lock it", kSource);
    add(openLockFile(root.get(), rootPath, L".kelvane.lock", shared, !shared));
  }
  add(openLockFile(place->folder.get(), place->folderPath, hashedLockName(place->name), shared,
                   !shared && locks.empty()));
  return locks;
}

}  // namespace kelvane
