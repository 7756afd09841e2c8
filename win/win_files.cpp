// Folder listing and tests, path resolution and identities, the report's folders, and files
// read and written whole.

#include <algorithm>
#include <vector>

#include "win/win_file_system.h"
#include "win/win_nt.h"
#include "win/win_security.h"
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

// Who made the link name in folder, when that is an account whose links are not followed.
std::string foreignOwner(const std::wstring& folder, const std::wstring& name) {
  Handle listed(::CreateFileW(folder.empty() ? L"." : folder.c_str(), READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  NTSTATUS status = 0;
  Handle link = listed
                    ? openIn(listed.get(), name,
                             {READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              FILE_OPEN, 0},
                             status)
                    : Handle();
  // A link whose owner cannot be asked is not one to follow either.
  return link ? foreignOwnerOf(link.get(), listed.get()) : "an account the system does not name";
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
  if (pattern.empty()) return {};
  std::wstring search = widePath(pattern, "list folder");
  if (endsWithSeparator(pattern))
    search += L'*';
  else if (hasWildcard(search))
    return {};
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileExW(search.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    if (isAbsent(err)) return {};
    throw errorFailure(err, "Cannot list folder", pattern, "list folder");
  }
  std::vector<DirEntry> entries;
  std::wstring folder = search.substr(0, search.find_last_of(L"\\/") + 1);
  do {
    if (!isVisible(found.dwFileAttributes)) continue;
    entries.push_back({narrow(found.cFileName), typeOf(found.dwFileAttributes), {}});
    if (entries.back().type == EntryType::Link)
      entries.back().foreignOwner = foreignOwner(folder, found.cFileName);
  } while (::FindNextFileW(find, &found));
  DWORD err = ::GetLastError();
  ::FindClose(find);
  if (err != ERROR_NO_MORE_FILES)
    throw errorFailure(err, "Cannot list folder", pattern, "list folder");
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
