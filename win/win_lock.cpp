// The lock that builds sharing a link root or a table take turns on: a file beside what it
// guards, in the folder holding it, so that only the accounts that may make files there can
// make, hold or block it.

#include "base/short_hash.h"
#include "win/win_file_system.h"
#include "win/win_nt.h"
#include "win/win_security.h"
#include "win/win_support.h"

namespace kelvane {

using namespace win;

namespace {

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
    throw errorFailure(err, "Cannot lock file", shown_, "lock");
  }

  Handle h_;  // closing it lets the lock go
  std::string shown_;
  bool shared_;
  FileIdentity identity_;
};

std::unique_ptr<PathLock> openLock(const std::string& path, bool shared) {
  const char* source = "lock";
  if (path.empty()) return nullptr;
  // One key for a path with or without a separator after it, and in any case: the system
  // takes "LINKS" for "links".
  std::wstring full = fullPathOf(widePath(path, source), path, source);
  while (full.size() > rootOf(full).size() && (full.back() == L'\\' || full.back() == L'/'))
    full.pop_back();
  std::wstring above = parentText(full);
  if (above.empty()) return nullptr;  // a root: no folder holds it
  std::wstring last = full.substr(above.size() + (above.back() == L'\\' ? 0 : 1));
  ::CharUpperBuffW(last.data(), static_cast<DWORD>(last.size()));
  std::wstring name = L".kelvane-" + wide(shortHash(narrow(last))) + L".lock";
  std::string shown = narrow(above.back() == L'\\' ? above + name : above + L"\\" + name);

  // The folder holding path may be a link or junction: the user named it.
  Handle folder(::CreateFileW(longPath(above).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) {
    DWORD err = ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return nullptr;
    throw errorFailure(err, "Cannot open the folder of the lock file", shown, source);
  }
  if (!infoOf(folder.get(), shown, source).isFolder()) return nullptr;

  // Read access is enough to lock. Opening returns at once even when another program holds
  // the file under an opportunistic lock, and finds a reparse point as itself.
  LockSecurity security(folder.get());
  NTSTATUS status = 0;
  Handle h = openIn(folder.get(), name,
                    {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     shared ? ULONG(FILE_OPEN) : ULONG(FILE_OPEN_IF), FILE_COMPLETE_IF_OPLOCKED,
                     FILE_ATTRIBUTE_HIDDEN, security.get()},
                    status);
  if (!h) {
    if (shared && status == kNameNotFound) return nullptr;  // no build made it yet
    throw errorFailure(::RtlNtStatusToDosError(status), "Cannot open the lock file", shown, source);
  }
  bool device = ::GetFileType(h.get()) != FILE_TYPE_DISK;
  HandleInfo info = device ? HandleInfo{} : infoOf(h.get(), shown, source);
  DWORD listed = 0;
  if (device || info.isFolder() || info.isReparse() ||
      (listedAttributes(folder.get(), name, listed) &&
       (listed & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))))
    throw Failure(ERROR_ACCESS_DENIED,
                  "Cannot lock \"" + shown + "\": something other than a plain file is there",
                  source);
  return std::make_unique<FileLock>(std::move(h), shown, shared, identityOf(info));
}

}  // namespace

// A link root and a table are locked alike, by their name in the folder holding them.
std::vector<std::unique_ptr<PathLock>> WinFiles::openLocks(const std::string& path, Guarded,
                                                           bool shared) {
  std::vector<std::unique_ptr<PathLock>> locks;
  if (auto lock = openLock(path, shared)) locks.push_back(std::move(lock));
  return locks;
}

}  // namespace kelvane
