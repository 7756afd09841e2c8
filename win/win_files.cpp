// Folder listing and tests, path resolution and identities, the report's folders, and files
// read and written whole.

#include <algorithm>
#include <vector>

#include "win/win_file_system.h"
#include "win/win_nt.h"
#include "win/win_security.h"
#include "win/win_stamp.h"
#include "win/win_support.h"

namespace kelvane {

using namespace win;

namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool endsWithSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

// Errors that only say nothing is at a path.
bool isAbsent(DWORD err) {
  return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_INVALID_NAME ||
         err == ERROR_DIRECTORY || err == ERROR_BAD_NETPATH || err == ERROR_BAD_NET_NAME ||
         err == ERROR_NOT_READY;
}

// The listing takes these as wildcards; no name holds them, so such a pattern names nothing.
bool hasWildcard(const std::wstring& path) {
  size_t start = path.find_last_of(L"\\/");
  return path.find_first_of(L"*?<>\"", start == std::wstring::npos ? 0 : start) !=
         std::wstring::npos;
}

bool isVisible(DWORD attributes) {
  return !(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
}

EntryType typeOf(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryType::Link;
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? EntryType::Folder : EntryType::File;
}

std::string readAll(HANDLE h, const std::string& path) {
  std::string bytes;
  LARGE_INTEGER size;
  if (::GetFileSizeEx(h, &size)) bytes.reserve(static_cast<size_t>(size.QuadPart));
  char buffer[64 * 1024];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h, buffer, sizeof buffer, &n, nullptr))
      throw lastErrorFailure("Cannot read file", path, "read");
    if (n == 0) return bytes;
    bytes.append(buffer, n);
  }
}

// Shared for deleting too: a build that rewrites its own table still reads it when the new
// one replaces it.
Handle openPlainForReading(const std::string& path) {
  Handle h(::CreateFileW(widePath(path, "open").c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) throw lastErrorFailure("Cannot open file", path, "open");
  if (::GetFileType(h.get()) != FILE_TYPE_DISK || infoOf(h.get(), path, "open").isFolder())
    throw Failure(ERROR_INVALID_FUNCTION, "Cannot read \"" + path + "\": it is not a plain file",
                  "open");
  return h;
}

class WinInput : public InputFile {
 public:
  WinInput(Handle h, std::string path) : h_(std::move(h)), path_(std::move(path)) {}
  size_t read(char* buffer, size_t size) override {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (!::ReadFile(h_.get(), buffer, want, &n, nullptr))
      throw lastErrorFailure("Cannot read file", path_, "read");
    return n;
  }

 private:
  Handle h_;
  std::string path_;
};

// Who made the link name in folder (opened with FILE_LIST_DIRECTORY or READ_CONTROL; security
// opened with READ_CONTROL), when that is an account whose links are not followed.
std::string foreignOwner(HANDLE folder, HANDLE security, const std::wstring& name) {
  NTSTATUS status = 0;
  Handle link = folder && security
                    ? openIn(folder, name,
                             {READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              FILE_OPEN, 0},
                             status)
                    : Handle();
  // A link whose owner cannot be asked is not one to follow either.
  return link ? foreignOwnerOf(link.get(), security) : "an account the system does not name";
}

// The folder a pattern ending in a separator lists, a link to one followed (the user named
// it): an empty Handle when no folder is there.
Handle openListed(const std::string& pattern, const char* source) {
  Handle h(::CreateFileW(widePath(pattern, source).c_str(),
                         FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) {
    DWORD err = ::GetLastError();
    if (isAbsent(err)) return Handle();
    throw errorFailure(err, "Cannot list folder", pattern, source);
  }
  // A device ("NUL\") or a file is no folder to list.
  if (::GetFileType(h.get()) != FILE_TYPE_DISK || !infoOf(h.get(), pattern, source).isFolder())
    return Handle();
  return h;
}

// The folder open as h, again, for asking its security.
Handle securityOf(HANDLE h) {
  NTSTATUS status = 0;
  return openIn(h, L"",
                {READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                 FILE_DIRECTORY_FILE},
                status);
}

// One look at the open folder, the clock read just before it: trusted where its volume keeps
// folder times and no account other than the running one and the system's own may set them.
FolderStamp lookAt(HANDLE h, const std::string& pattern, const char* source) {
  int64_t now = fileClockNow();
  Handle security = securityOf(h);
  bool trusted =
      security && keepsFolderTimes(h) && strangerWithRights(security.get(), kSetTimes).empty();
  return stampOf(h, now, trusted, pattern, source);
}

// Creates one folder level; a folder (or a link to one) already there is used as it is.
void createFolder(const std::string& path) {
  if (::CreateDirectoryW(widePath(path, "create folder").c_str(), nullptr)) return;
  DWORD err = ::GetLastError();
  if (err != ERROR_ALREADY_EXISTS) throw errorFailure(err, "Cannot create folder", path, "mkdir");
  Handle h = openForLooking(widePath(path, "create folder"), true);
  if (!h || !infoOf(h.get(), path, "mkdir").isFolder())
    throw Failure(static_cast<int>(err),
                  "Cannot create folder \"" + path +
                      "\": something other than a folder is already there under that name",
                  "mkdir");
}

}  // namespace

std::vector<DirEntry> WinFiles::listFolder(const std::string& pattern) {
  FolderStamp ignored;
  return listStampedFolder(pattern, ignored);
}

FolderStamp WinFiles::folderStamp(const std::string& pattern) {
  const char* source = "list folder";
  if (!endsWithSeparator(pattern)) return FolderStamp{};
  Handle h = openListed(pattern, source);
  return h ? lookAt(h.get(), pattern, source) : FolderStamp{};
}

std::vector<DirEntry> WinFiles::listStampedFolder(const std::string& pattern, FolderStamp& seen) {
  const char* source = "list folder";
  seen = FolderStamp{};
  if (pattern.empty()) return {};
  std::vector<DirEntry> entries;
  if (endsWithSeparator(pattern)) {
    // Looked at and listed through one handle, so that the look is of the folder listed.
    Handle h = openListed(pattern, source);
    if (!h) return {};
    seen = lookAt(h.get(), pattern, source);
    Handle security;
    eachListed(h.get(), pattern, [&](const FILE_ID_BOTH_DIR_INFO& found) {
      if (!isVisible(found.FileAttributes)) return;
      std::wstring name(found.FileName, found.FileNameLength / sizeof(wchar_t));
      entries.push_back({narrow(name), typeOf(found.FileAttributes), {}});
      if (entries.back().type != EntryType::Link) return;
      if (!security) security = securityOf(h.get());
      entries.back().foreignOwner = foreignOwner(h.get(), security.get(), name);
    });
    return entries;
  }
  std::wstring search = widePath(pattern, source);
  if (hasWildcard(search)) return {};
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileExW(search.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    if (isAbsent(err)) return {};
    throw errorFailure(err, "Cannot list folder", pattern, source);
  }
  ::FindClose(find);
  if (!isVisible(found.dwFileAttributes)) return {};
  entries.push_back({narrow(found.cFileName), typeOf(found.dwFileAttributes), {}});
  if (entries.back().type == EntryType::Link) {
    std::wstring folder = search.substr(0, search.find_last_of(L"\\/") + 1);
    Handle listed(::CreateFileW(folder.empty() ? L"." : folder.c_str(), READ_CONTROL,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    entries.back().foreignOwner = foreignOwner(listed.get(), listed.get(), found.cFileName);
  }
  return entries;
}

bool WinFiles::exists(const std::string& pattern) {
  if (pattern.empty()) return false;
  std::wstring path = widePath(pattern, "existence test");
  if (endsWithSeparator(pattern)) return folderExists(pattern);
  if (hasWildcard(path)) return false;
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && isVisible(attributes);
}

bool WinFiles::fileExists(const std::string& path) {
  if (path.empty()) return false;
  Handle h = openForLooking(widePath(path, "file test"), true);
  // A device ("NUL", "CON") is no plain file, and has no file information to ask for.
  return h && ::GetFileType(h.get()) == FILE_TYPE_DISK &&
         !infoOf(h.get(), path, "file test").isFolder();
}

bool WinFiles::folderExists(const std::string& path) {
  if (path.empty()) return false;
  Handle h = openForLooking(widePath(path, "folder test"), true);
  return h && infoOf(h.get(), path, "folder test").isFolder();
}

bool WinFiles::folderWritable(const std::string& folder) {
  std::wstring probe = widePath(folder, "folder test") + L"\\~kelvane-" +
                       std::to_wstring(::GetCurrentProcessId()) + L".tmp";
  Handle h(::CreateFileW(
      probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  return static_cast<bool>(h);
}

std::string WinFiles::userStateFolder() {
  wchar_t folder[MAX_PATH];
  DWORD n = ::GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH)
    throw Failure(ERROR_ENVVAR_NOT_FOUND,
                  "Cannot find the user's application data folder: LOCALAPPDATA is not set",
                  "state folder");
  return narrow(std::wstring(folder, n));
}

void WinFiles::createPrivateFolders(const std::string& folder) {
  std::wstring full = fullPathOf(widePath(folder, "create folder"), folder, "create folder");
  // Every level from the root down; the missing ones are made, the others used as they are.
  std::vector<std::wstring> levels;
  for (std::wstring at = full; !at.empty(); at = parentText(at)) levels.push_back(at);
  for (auto it = levels.rbegin(); it != levels.rend(); ++it)
    if (it->size() > rootOf(full).size()) createFolder(narrow(*it));
}

std::string WinFiles::resolvedPath(const std::string& path) {
  const char* source = "resolve path";
  std::wstring full = fullPathOf(widePath(path, source), path, source);
  // One name for a folder with or without a separator after it (lock names depend on it).
  while (full.size() > rootOf(full).size() && isSeparator(full.back())) full.pop_back();
  // The longest leading part that exists is resolved; the rest is kept as written.
  for (std::wstring head = full; !head.empty(); head = parentText(head)) {
    Handle h = openForLooking(head, true);
    if (!h) continue;
    // A device ("NUL") has no final path: its full name is the one it goes by.
    if (::GetFileType(h.get()) != FILE_TYPE_DISK) return narrow(full);
    std::wstring out = finalPath(h.get(), path, source);
    std::wstring tail = full.substr(head.size());
    if (!tail.empty() && !out.empty() && isSeparator(out.back()) && isSeparator(tail.front()))
      tail.erase(0, 1);
    return narrow(out + tail);
  }
  return narrow(full);
}

std::vector<FileIdentity> WinFiles::chainOf(const std::string& path, bool followLast) {
  const char* source = "resolve path";
  if (path.empty()) return {};
  std::wstring at = fullPathOf(widePath(path, source), path, source);
  // A path ending in a separator names the folder it leads to.
  bool follow = followLast || isSeparator(at.back());
  std::vector<FileIdentity> chain;
  for (; !at.empty(); at = parentText(at), follow = true) {
    Handle h = openForLooking(at, follow);
    if (!h) {
      DWORD err = ::GetLastError();
      if (!isAbsent(err)) throw errorFailure(err, "Cannot look at", narrow(at), source);
      continue;
    }
    if (::GetFileType(h.get()) != FILE_TYPE_DISK) return chain;  // a device is in no folder
    chain.push_back(identityOf(infoOf(h.get(), path, source)));
    // Not followed, the last part as it stands, then the folder the system finds it in.
    if (!follow) continue;
    for (const FileIdentity& id :
         folderChain(parentText(finalPath(h.get(), path, source)), path, source))
      chain.push_back(id);
    return chain;
  }
  return chain;
}

std::string WinFiles::readFile(const std::string& path) {
  Handle h = openPlainForReading(path);
  return readAll(h.get(), path);
}

// Windows has no owner and mode to judge a settings file by, as Linux has: who may write it
// is its access list and those of the folders above it, filled in by inheritance, which this
// build does not judge. A settings file is read as any other.
std::string WinFiles::readTrustedFile(const std::string& path) { return readFile(path); }

void WinFiles::writeFile(const std::string& path, std::string_view bytes) {
  // Saved as a table is, never cut short first: a full disk or a stop halfway leaves the old
  // file whole, and a file already there keeps its attributes and security.
  std::unique_ptr<OutputFile> file = createOutput(path);
  file->write(bytes);
  file->commit();
}

std::unique_ptr<InputFile> WinFiles::openInput(const std::string& path) {
  return std::make_unique<WinInput>(openPlainForReading(path), path);
}

}  // namespace kelvane
