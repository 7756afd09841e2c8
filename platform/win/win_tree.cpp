// The link root opened once and emptied from that open folder. Every folder below it is
// opened by name relative to its parent's handle (NtCreateFile with a root directory), never
// following a reparse point, and is held open without sharing deletion, so that no folder
// of the walk can be renamed, or swapped for a junction, while it is walked.

#include <windows.h>
// After windows.h, which it needs.
#include <winternl.h>

#include <vector>

#include "platform/win/win_platform.h"
#include "platform/win/win_support.h"

namespace kelvane {

using namespace win;

namespace {

constexpr ULONG kOpenExisting = 1;  // FILE_OPEN: never create

// Opens name in the folder parent, the name itself when it is a reparse point.
Handle openRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                    ULONG options, const std::string& shown, const char* what, const char* source) {
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE h = nullptr;
  NTSTATUS result = ::NtCreateFile(
      &h, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status, nullptr, 0, share,
      kOpenExisting, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (result < 0) throw errorFailure(::RtlNtStatusToDosError(result), what, shown, source);
  return Handle(h);
}

// Marks the open file or folder for deletion; it goes when the handle closes.
void deleteOpen(HANDLE h, const std::string& shown, const char* what, const char* source) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition))
    throw lastErrorFailure(what, shown, source);
}

class WinFolderTree : public FolderTree {
 public:
  WinFolderTree(std::string path, Handle root, const HandleInfo& info)
      : path_(std::move(path)), volume_(info.info.dwVolumeSerialNumber) {
    levels_.push_back({"", std::move(root)});
  }

  std::vector<FileIdentity> chain() override {
    return folderChain(finalPath(levels_[0].h.get(), path_, "open folder"), path_, "open folder");
  }

  std::vector<std::string> mountsBelow() override {
    std::wstring folder = finalPath(levels_[0].h.get(), path_, "open folder");
    if (folder.back() != L'\\') folder += L'\\';
    std::vector<std::string> below;
    wchar_t volume[MAX_PATH];
    HANDLE find = ::FindFirstVolumeW(volume, MAX_PATH);
    if (find == INVALID_HANDLE_VALUE) return below;
    do {
      std::vector<wchar_t> names(4096);
      DWORD n = 0;
      if (!::GetVolumePathNamesForVolumeNameW(volume, names.data(),
                                              static_cast<DWORD>(names.size()), &n))
        continue;
      for (const wchar_t* name = names.data(); *name; name += wcslen(name) + 1) {
        std::wstring point = name;
        if (point.size() > folder.size() &&
            ::CompareStringOrdinal(point.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                   static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL)
          below.push_back(narrow(point));
      }
    } while (::FindNextVolumeW(find, volume, MAX_PATH));
    ::FindVolumeClose(find);
    return below;
  }

  std::vector<DirEntry> list(bool& holdsHidden) override {
    holdsHidden = false;
    std::vector<DirEntry> entries;
    std::vector<char> buffer(64 * 1024);
    auto kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
      if (!::GetFileInformationByHandleEx(current(), kind, buffer.data(),
                                          static_cast<DWORD>(buffer.size()))) {
        if (::GetLastError() == ERROR_NO_MORE_FILES) return entries;
        throw lastErrorFailure("Cannot list folder", currentPath(), "list folder");
      }
      kind = FileIdBothDirectoryInfo;
      for (size_t at = 0;;) {
        auto* entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
        DWORD attributes = entry->FileAttributes;
        if (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) {
          holdsHidden = true;
        } else {
          EntryType type = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? EntryType::Link
                           : attributes & FILE_ATTRIBUTE_DIRECTORY   ? EntryType::Folder
                                                                     : EntryType::File;
          entries.push_back(
              {narrow(std::wstring_view(entry->FileName, entry->FileNameLength / sizeof(wchar_t))),
               type});
        }
        if (entry->NextEntryOffset == 0) break;
        at += entry->NextEntryOffset;
      }
    }
  }

  void enter(const std::string& name) override {
    const char* source = "open folder";
    std::string shown = currentPath() + name;
    // Others may read the folder but not rename or delete it while the walk is inside.
    Handle h = openRelative(current(), widePath(name, source), FILE_LIST_DIRECTORY,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_DIRECTORY_FILE, shown,
                            "Cannot open folder", source);
    HandleInfo info = infoOf(h.get(), shown, source);
    if (info.isReparse())
      throw Failure(ERROR_CANT_ACCESS_FILE,
                    "The folder \"" + shown + "\" is a link or junction; it is never entered",
                    source);
    if (info.info.dwVolumeSerialNumber != volume_)
      throw Failure(ERROR_NOT_SAME_DEVICE,
                    "The folder \"" + shown + "\" is another volume; nothing is removed across it",
                    source);
    levels_.push_back({name, std::move(h)});
  }

  void leave() override {
    if (levels_.size() < 2) throw std::logic_error("leaving the folder tree's own folder");
    // Held without sharing deletion, the folder cannot have been moved meanwhile.
    levels_.pop_back();
  }

  void deleteFile(const std::string& name) override {
    const char* source = "delete file";
    std::string shown = currentPath() + name;
    Handle h = openRelative(current(), widePath(name, source), DELETE, 0, 0, shown,
                            "Cannot delete file", source);
    HandleInfo info = infoOf(h.get(), shown, source);
    if (info.isFolder() && !info.isReparse())
      throw Failure(ERROR_ACCESS_DENIED, "Cannot delete \"" + shown + "\": it is a folder", source);
    // Not forced: a read-only file refuses to be marked for deletion.
    deleteOpen(h.get(), shown, "Cannot delete file", source);
  }

  void removeFolder(const std::string& name) override {
    const char* source = "remove folder";
    std::string shown = currentPath() + name;
    Handle h = openRelative(current(), widePath(name, source), DELETE, 0, FILE_DIRECTORY_FILE,
                            shown, "Cannot remove folder", source);
    if (infoOf(h.get(), shown, source).isReparse())
      throw Failure(ERROR_ACCESS_DENIED,
                    "Cannot remove \"" + shown + "\" as a folder: it is a link or junction",
                    source);
    deleteOpen(h.get(), shown, "Cannot remove folder", source);
  }

  // Never: a kept folder would have to carry exactly the security a new one gets, and on
  // Windows that depends on inherited and explicit permissions this walk does not compare.
  // The build then removes the folder and creates the new one, which is always right.
  bool reuseFolder(const std::string&, const std::string&) override { return false; }

  std::string currentPath() override {
    std::string path = path_;
    for (size_t i = 1; i < levels_.size(); ++i) path += levels_[i].name + "\\";
    return path;
  }

 private:
  struct Level {
    std::string name;
    Handle h;
  };

  HANDLE current() const { return levels_.back().h.get(); }

  std::string path_;  // as opened, ending in "\"
  DWORD volume_;
  std::vector<Level> levels_;  // [0] is the tree's own folder
};

}  // namespace

std::unique_ptr<FolderTree> WinPlatform::openFolderTree(const std::string& path) {
  const char* source = "open folder";
  if (path.empty()) return nullptr;
  // The tree's own folder may be a link or junction: the user named it.
  Handle h(::CreateFileW(widePath(path, source).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) {
    DWORD err = ::GetLastError();
    // A file named as a folder ("file\") is no name for a folder: nothing is there either.
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_DIRECTORY ||
        err == ERROR_INVALID_NAME)
      return nullptr;
    throw errorFailure(err, "Cannot open folder", path, source);
  }
  HandleInfo info = infoOf(h.get(), path, source);
  if (!info.isFolder()) return nullptr;
  bool ends = path.back() == '\\' || path.back() == '/';
  return std::make_unique<WinFolderTree>(ends ? path : path + "\\", std::move(h), info);
}

}  // namespace kelvane
