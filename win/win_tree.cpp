// The link root opened once and emptied from that open folder. Every folder below it is
// opened by name relative to its parent's handle, never following a reparse point, and is
// held open without sharing deletion, so that no folder of the walk can be renamed, or
// swapped for a junction, while it is walked; however deep the tree goes, only so many are
// held, and one let go is opened again, and checked, when the walk comes back to it.

#include <unordered_map>
#include <vector>

#include "base/hidden_name.h"
#include "win/win_file_system.h"
#include "win/win_nt.h"
#include "win/win_security.h"
#include "win/win_stamp.h"
#include "win/win_support.h"

namespace kelvane {

using namespace win;

namespace {

// Folders deeper than this many open ones are let go, and opened again as the folder holding
// the one below (checked to be the same folder) when the walk comes back to them.
constexpr size_t kMaxOpenFolders = 32;

// Others may read a folder of the walk but not rename or delete it while it is held.
constexpr ULONG kWalkShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ACCESS_MASK kWalkAccess = FILE_LIST_DIRECTORY | READ_CONTROL;

class WinFolderTree : public FolderTree {
 public:
  WinFolderTree(std::string path, Handle root, const HandleInfo& info)
      : path_(std::move(path)), volume_(info.info.dwVolumeSerialNumber) {
    levels_.push_back({"", std::move(root), identityOf(info), nullptr});
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

  std::vector<DirEntry> list(bool& holdsUnlisted) override {
    holdsUnlisted = false;
    std::vector<DirEntry> entries;
    eachListed(current(), currentPath(), [&](const FILE_ID_BOTH_DIR_INFO& entry) {
      DWORD attributes = entry.FileAttributes;
      std::wstring_view name(entry.FileName, entry.FileNameLength / sizeof(wchar_t));
      // A name starting with "." is hidden here as on Linux, whatever its attributes, so
      // that both systems leave out, and mark, the same entries.
      if (isHiddenName(name) || (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
        holdsUnlisted = true;
        return;
      }
      EntryType type = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? EntryType::Link
                       : attributes & FILE_ATTRIBUTE_DIRECTORY   ? EntryType::Folder
                                                                 : EntryType::File;
      entries.push_back({narrow(name), type, {}});
    });
    return entries;
  }

  void enter(const std::string& name) override {
    const char* source = "open folder";
    std::string shown = currentPath() + name;
    Handle h = openInOrFail(current(), widePath(name, source),
                            {kWalkAccess, kWalkShare, FILE_OPEN, FILE_DIRECTORY_FILE}, shown,
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
    levels_.push_back({name, std::move(h), identityOf(info), nullptr});
    // Known by its identity while let go, so that coming back to it can be checked.
    if (levels_.size() - firstOpen_ + 1 > kMaxOpenFolders) levels_[firstOpen_++].h = Handle();
  }

  void leave() override {
    if (levels_.size() < 2) throw std::logic_error("leaving the folder tree's own folder");
    // Held without sharing deletion, an open folder cannot have been moved meanwhile.
    EnteredFolder child = std::move(levels_.back());
    levels_.pop_back();
    size_t top = levels_.size() - 1;
    if (top == 0 || top >= firstOpen_) return;
    // Let go, it may have been: the folder now holding the child must be the one left.
    const char* source = "open folder";
    std::wstring above = parentText(finalPath(child.h.get(), currentPath(), source));
    Handle h(::CreateFileW(longPath(above).c_str(), kWalkAccess | FILE_READ_ATTRIBUTES, kWalkShare,
                           nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) throw lastErrorFailure("Cannot open folder", currentPath(), source);
    HandleInfo info = infoOf(h.get(), currentPath(), source);
    if (identityOf(info) != levels_[top].id || info.isReparse())
      throw Failure(ERROR_FILE_INVALID,
                    "The folder \"" + currentPath() + child.name +
                        "\" was moved elsewhere while the old structure was removed",
                    source);
    levels_[top].h = std::move(h);
    firstOpen_ = top;
  }

  void deleteFile(const std::string& name) override {
    const char* source = "delete file";
    std::string shown = currentPath() + name;
    // Refused in the words a dry run's question gives.
    checkRemoval(name);
    Handle h = openInOrFail(current(), widePath(name, source), {DELETE, 0, FILE_OPEN, 0}, shown,
                            "Cannot delete file", source);
    HandleInfo info = infoOf(h.get(), shown, source);
    if (info.isFolder() && !info.isReparse())
      throw Failure(ERROR_ACCESS_DENIED, "Cannot delete \"" + shown + "\": it is a folder", source);
    // Not forced: a read-only file refuses to be marked for deletion.
    deleteOpen(h.get(), shown, "Cannot delete file", source);
  }

  void checkRemoval(const std::string& name) override {
    const char* source = "delete file";
    std::string shown = currentPath() + name;
    Handle h = openInOrFail(current(), widePath(name, source),
                            {FILE_READ_ATTRIBUTES, kWalkShare, FILE_OPEN, 0}, shown,
                            "Cannot delete file", source);
    HandleInfo info = infoOf(h.get(), shown, source);
    // Not forced: a read-only file, or folder, refuses to be marked for deletion.
    if (info.info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
      throw errorFailure(ERROR_ACCESS_DENIED,
                         info.isFolder() ? "Cannot remove folder" : "Cannot delete file", shown,
                         info.isFolder() ? "remove folder" : source);
  }

  void removeFolder(const std::string& name) override {
    const char* source = "remove folder";
    std::string shown = currentPath() + name;
    Handle h =
        openInOrFail(current(), widePath(name, source), {DELETE, 0, FILE_OPEN, FILE_DIRECTORY_FILE},
                     shown, "Cannot remove folder", source);
    if (infoOf(h.get(), shown, source).isReparse())
      throw Failure(ERROR_ACCESS_DENIED,
                    "Cannot remove \"" + shown + "\" as a folder: it is a link or junction",
                    source);
    deleteOpen(h.get(), shown, "Cannot remove folder", source);
  }

  // Folders are never renamed into place on Windows, where a kept folder's security could
  // differ from a new one's: a stale folder is removed and the missing one made.
  bool reuseFolder(const std::string&, const std::string&, bool) override { return false; }
  bool canReuseFolder(const std::string&, const std::string&, bool) override { return false; }

  bool isOwnFolder(const std::string& name) override {
    FolderStamp seen;
    return lookAtFolder(name, seen);
  }

  bool lookAtFolder(const std::string& name, FolderStamp& seen) override {
    const char* source = "folder test";
    seen = FolderStamp{};
    std::wstring wideName = widePath(name, source);
    int64_t now = fileClockNow();
    NTSTATUS status = 0;
    Handle h = openIn(current(), wideName,
                      {READ_CONTROL, kWalkShare, FILE_OPEN, FILE_DIRECTORY_FILE}, status);
    std::string shown = currentPath() + name;
    if (!h || !isPlainFolder(current(), wideName, h.get(), volume_, shown, source)) return false;
    EnteredFolder& level = levels_.back();
    if (!level.fresh) level.fresh = std::make_unique<FreshFolder>(current());
    if (!level.fresh->isLike(h.get())) return false;
    // It lets no one do more than a folder made now: its times are its own where such a
    // folder's would be.
    seen =
        stampOf(h.get(), now, keepsTimes() && !level.fresh->letsOthers(kSetTimes), shown, source);
    return true;
  }

  void lookAtSubfolders(const std::string& relative, const std::vector<std::string_view>& names,
                        const std::function<void(size_t, const FolderStamp&)>& take) override {
    if (names.empty() || !keepsTimes()) return;
    try {
      bool missing = false;
      Handle held = reachFolder(levels_[0].h.get(), volume_, path_, relative, true, missing);
      if (missing) return;
      HANDLE folder = held ? held.get() : levels_[0].h.get();
      // No listing follows this look: it vouches for what the build left only where no other
      // account could have put anything in since, nor set the times back.
      if (FreshFolder(folder).letsOthers(kSetTimes | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY)) return;
      std::unordered_map<std::string_view, size_t> wanted;
      for (size_t i = 0; i < names.size(); ++i) wanted.emplace(names[i], i);
      // One listing for them all. NTFS may show a folder's times there as they were before
      // its last change (it brings them up to date lazily): a later look then finds them
      // changed, and only looks at that folder in full.
      int64_t now = fileClockNow();
      std::string name;
      eachListed(folder, path_ + relative, [&](const FILE_ID_BOTH_DIR_INFO& entry) {
        if ((entry.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY)
          return;
        name = narrow(std::wstring_view(entry.FileName, entry.FileNameLength / sizeof(wchar_t)));
        auto it = wanted.find(name);
        if (it != wanted.end()) take(it->second, stampOf(entry, volume_, now));
      });
    } catch (const Failure&) {
      // Something other than a folder where a level goes, or a listing refused: a look that
      // cannot be made vouches for nothing, and the build has succeeded all the same.
    }
  }

  bool holdsFolder(const std::string& relative) override {
    bool missing = false;
    reachFolder(levels_[0].h.get(), volume_, path_, relative, true, missing);
    return !missing;
  }
  bool makeFolder(const std::string& relative) override {
    bool made = false;
    reachFolder(levels_[0].h.get(), volume_, path_, relative, false, made);
    return made;
  }

  std::string currentPath() override {
    std::string path = path_;
    for (size_t i = 1; i < levels_.size(); ++i) path += levels_[i].name + "\\";
    return path;
  }

 private:
  struct EnteredFolder {
    std::string name;
    Handle h;  // let go for levels 1 to firstOpen_ - 1
    FileIdentity id;
    std::unique_ptr<FreshFolder> fresh;  // what a folder made in it would be, once asked
  };

  HANDLE current() const { return levels_.back().h.get(); }

  // Whether the tree's volume keeps folder times a build may trust: asked once.
  bool keepsTimes() {
    if (keepsTimes_ < 0) keepsTimes_ = keepsFolderTimes(levels_[0].h.get());
    return keepsTimes_ > 0;
  }

  std::string path_;  // as opened, ending in "\"
  DWORD volume_;
  std::vector<EnteredFolder> levels_;  // [0] is the tree's own folder, always held
  size_t firstOpen_ = 1;               // the levels from here to the top are held
  int keepsTimes_ = -1;                // not asked yet
};

}  // namespace

std::unique_ptr<FolderTree> WinFiles::openFolderTree(const std::string& path) {
  const char* source = "open folder";
  if (path.empty()) return nullptr;
  // The tree's own folder may be a link or junction: the user named it.
  Handle h(::CreateFileW(widePath(path, source).c_str(), kWalkAccess | FILE_READ_ATTRIBUTES,
                         kWalkShare, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
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

namespace {

// The full path of the folder path names, without a separator after it.
std::wstring folderPathOf(const std::string& path, const char* source) {
  std::wstring full = fullPathOf(widePath(path, source), path, source);
  while (full.size() > rootOf(full).size() && (full.back() == L'\\' || full.back() == L'/'))
    full.pop_back();
  return full;
}

// The folder that holds full, which a new folder there needs; it may be a link or junction:
// the user named it.
Handle folderAbove(const std::wstring& above, const std::string& shown, const char* source) {
  Handle folder(::CreateFileW(longPath(above).c_str(), FILE_READ_ATTRIBUTES, kWalkShare, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder || !infoOf(folder.get(), shown, source).isFolder())
    throw errorFailure(ERROR_PATH_NOT_FOUND, "Cannot create folder", shown, source);
  return folder;
}

// The folder full, one level below above, reached from the folder holding it (which
// holding takes) as reachFolder does: made unless onlyLook, made then saying so.
Handle reachFromAbove(const std::wstring& full, const std::wstring& above, bool onlyLook,
                      bool& made, Handle& holding, const char* source) {
  std::string shown = narrow(full);
  holding = folderAbove(above, shown, source);
  std::wstring shownAbove = above.back() == L'\\' ? above : above + L'\\';
  return reachFolder(holding.get(), infoOf(holding.get(), shown, source).info.dwVolumeSerialNumber,
                     narrow(shownAbove), narrow(full.substr(shownAbove.size())), onlyLook, made);
}

}  // namespace

void WinFiles::checkFolderCreation(const std::string& path) {
  const char* source = "mkdir";
  std::wstring full = folderPathOf(path, source);
  std::wstring above = parentText(full);
  if (above.empty()) {
    if (openFolderTree(path)) return;
    throw errorFailure(ERROR_PATH_NOT_FOUND, "Cannot create folder", path, source);
  }
  Handle folder;
  bool missing = false;
  // Fails where something other than a folder is there, as the build would.
  reachFromAbove(full, above, true, missing, folder, source);
  if (missing && !mayAddSubfolder(folder.get()))
    throw errorFailure(ERROR_ACCESS_DENIED, "Cannot create folder", narrow(full), source);
}

std::unique_ptr<FolderTree> WinFiles::createFolderTree(const std::string& path) {
  const char* source = "mkdir";
  std::wstring full = folderPathOf(path, source);
  std::wstring above = parentText(full);
  if (above.empty()) {
    // A root is made by no one: it is there, or nothing can be.
    if (auto tree = openFolderTree(path)) return tree;
    throw errorFailure(ERROR_PATH_NOT_FOUND, "Cannot create folder", path, source);
  }
  Handle folder;
  bool made = false;
  Handle h = reachFromAbove(full, above, false, made, folder, source);
  bool ends = path.back() == '\\' || path.back() == '/';
  return std::make_unique<WinFolderTree>(ends ? path : path + "\\", std::move(h),
                                         infoOf(h.get(), path, source));
}

}  // namespace kelvane
