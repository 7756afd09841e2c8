#include "win/win_nt.h"

#include <algorithm>
#include <vector>

#include "base/path_parts.h"

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE folder, HANDLE event, PIO_APC_ROUTINE apc,
                                               PVOID context, PIO_STATUS_BLOCK status, PVOID buffer,
                                               ULONG size, FILE_INFORMATION_CLASS kind,
                                               BOOLEAN single, PUNICODE_STRING name,
                                               BOOLEAN restart);

namespace kelvane::win {

Handle openIn(HANDLE folder, const std::wstring& name, const Request& request, NTSTATUS& status) {
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, request.security);
  IO_STATUS_BLOCK io;
  HANDLE h = nullptr;
  status = ::NtCreateFile(&h, request.access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io,
                          nullptr, request.attributes, request.share, request.disposition,
                          request.options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT,
                          nullptr, 0);
  return status < 0 ? Handle() : Handle(h);
}

Handle openInOrFail(HANDLE folder, const std::wstring& name, const Request& request,
                    const std::string& shown, const char* what, const char* source) {
  NTSTATUS status = 0;
  Handle h = openIn(folder, name, request, status);
  if (!h) throw errorFailure(::RtlNtStatusToDosError(status), what, shown, source);
  return h;
}

bool listedAttributes(HANDLE folder, const std::wstring& name, DWORD& attributes) {
  attributes = 0;
  // A handle of its own: a listing keeps its pattern on the handle it was asked through.
  NTSTATUS status = 0;
  Handle listing =
      openIn(folder, L"",
             {FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
              FILE_OPEN, FILE_DIRECTORY_FILE},
             status);
  if (!listing) return false;
  std::vector<char> buffer(sizeof(FILE_ID_BOTH_DIR_INFO) + name.size() * sizeof(wchar_t) + 512);
  UNICODE_STRING pattern;
  pattern.Buffer = const_cast<wchar_t*>(name.c_str());
  pattern.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  pattern.MaximumLength = pattern.Length;
  IO_STATUS_BLOCK io;
  status = NtQueryDirectoryFile(listing.get(), nullptr, nullptr, nullptr, &io, buffer.data(),
                                static_cast<ULONG>(buffer.size()),
                                static_cast<FILE_INFORMATION_CLASS>(37),  // FileIdBothDirectory
                                TRUE, &pattern, TRUE);
  if (status < 0) return false;
  attributes = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(buffer.data())->FileAttributes;
  return true;
}

void eachListed(HANDLE folder, const std::string& shown,
                const std::function<void(const FILE_ID_BOTH_DIR_INFO&)>& take) {
  std::vector<char> buffer(64 * 1024);
  auto kind = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!::GetFileInformationByHandleEx(folder, kind, buffer.data(),
                                        static_cast<DWORD>(buffer.size()))) {
      if (::GetLastError() == ERROR_NO_MORE_FILES) return;
      throw lastErrorFailure("Cannot list folder", shown, "list folder");
    }
    kind = FileIdBothDirectoryInfo;
    for (size_t at = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
      take(*entry);
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
}

bool isPlainFolder(HANDLE folder, const std::wstring& name, HANDLE h, DWORD volume,
                   const std::string& shown, const char* source) {
  HandleInfo info = infoOf(h, shown, source);
  DWORD listed = 0;
  bool otherwiseListed =
      listedAttributes(folder, name, listed) &&
      (!(listed & FILE_ATTRIBUTE_DIRECTORY) || (listed & FILE_ATTRIBUTE_REPARSE_POINT));
  return info.isFolder() && !info.isReparse() && info.info.dwVolumeSerialNumber == volume &&
         !otherwiseListed;
}

namespace {

// Names the system would read as a pattern, a device's stream or another folder.
bool isLevelName(const std::string& name) {
  return name != ".." && name.find_first_of(":*?\"<>|") == std::string::npos;
}

Failure somethingElse(const std::string& target, const std::string& shown) {
  std::string where = shown == target ? "under that name" : "at \"" + shown + "\"";
  return Failure(ERROR_ALREADY_EXISTS,
                 "Cannot create folder \"" + target +
                     "\": something other than a folder is already there " + where,
                 "mkdir");
}

}  // namespace

Handle reachFolder(HANDLE root, DWORD volume, const std::string& shownRoot,
                   const std::string& relative, bool onlyLook, bool& made) {
  const char* source = "mkdir";
  made = false;
  std::vector<std::string> levels;
  for (std::string_view level : pathParts(relative, "\\/")) levels.emplace_back(level);
  std::string target = shownRoot;
  for (size_t i = 0; i < levels.size(); ++i) target += (i ? "\\" : "") + levels[i];
  for (const std::string& level : levels)
    if (!isLevelName(level))
      throw Failure(ERROR_INVALID_NAME,
                    "Cannot create folder \"" + target + "\": \"" + level +
                        "\" is not the name of a folder in it",
                    source);
  // Others may read the levels but not rename or delete them while a folder is made in them.
  const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const ACCESS_MASK access = FILE_LIST_DIRECTORY | READ_CONTROL;
  Handle held;
  HANDLE at = root;
  std::string shown = shownRoot;
  for (size_t i = 0; i < levels.size(); ++i) {
    std::wstring name = widePath(levels[i], source);
    shown += levels[i];
    bool last = i + 1 == levels.size();
    for (int attempt = 0;; ++attempt) {
      NTSTATUS status = 0;
      Handle h =
          openIn(at, name, {last ? access : FILE_READ_ATTRIBUTES, share, FILE_OPEN, 0}, status);
      if (h) {
        if (!isPlainFolder(at, name, h.get(), volume, shown, source))
          throw somethingElse(target, shown);
        held = std::move(h);
        break;
      }
      if (status != kNameNotFound || !last)
        throw errorFailure(
            status == kNameNotFound ? ERROR_PATH_NOT_FOUND : ::RtlNtStatusToDosError(status),
            "Cannot create folder", target, source);
      if (onlyLook) {
        made = true;  // it would be made
        return Handle();
      }
      // Made relative to the level checked: a create never follows a reparse point.
      h = openIn(at, name, {access, share, FILE_CREATE, FILE_DIRECTORY_FILE}, status);
      if (h) {
        made = true;
        return h;
      }
      // Something was put there meanwhile: it is looked at as if it had been there.
      if (status != kNameCollision || attempt > 0)
        throw errorFailure(::RtlNtStatusToDosError(status), "Cannot create folder", target, source);
    }
    at = held.get();
    shown += "\\";
  }
  return held;
}

void deleteOpen(HANDLE h, const std::string& shown, const char* what, const char* source) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition))
    throw lastErrorFailure(what, shown, source);
}

std::wstring longPath(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

}  // namespace kelvane::win
