#include "tests/support/played_watches.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>

#include <vector>

#include "win/win_support.h"
#endif

namespace kelvane::testing {

// The entry's identity: a folder removed and made again is another one.
#ifdef _WIN32
std::string PlayedWatches::keyOf(const std::string& path) {
  win::Handle h(::CreateFileW(win::wide(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!h || !::GetFileInformationByHandle(h.get(), &info)) return "";
  return std::to_string(info.dwVolumeSerialNumber) + ":" +
         std::to_string((uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}
#else
std::string PlayedWatches::keyOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}
#endif

#ifdef _WIN32
// The whole listing with each entry's file ID and write time in one call: the C library's
// times have whole seconds only, and opening each entry for its ID takes long under Wine.
bool PlayedWatches::list(const std::string& path, Listing& listing) {
  win::Handle folder(::CreateFileW(win::wide(path).c_str(), FILE_LIST_DIRECTORY,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!folder || !::GetFileInformationByHandle(folder.get(), &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  listing.clear();
  std::vector<DWORD> buffer(16 * 1024);
  auto kind = FileIdBothDirectoryRestartInfo;
  while (::GetFileInformationByHandleEx(folder.get(), kind, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof(DWORD)))) {
    kind = FileIdBothDirectoryInfo;
    const auto* bytes = reinterpret_cast<const BYTE*>(buffer.data());
    for (DWORD at = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + at);
      std::string name =
          win::narrow(std::wstring_view(entry->FileName, entry->FileNameLength / sizeof(WCHAR)));
      bool isFolder = entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY;
      if (name != "." && name != "..")
        listing[name] = {std::to_string(info.dwVolumeSerialNumber) + ":" +
                             std::to_string(entry->FileId.QuadPart),
                         isFolder ? 0 : entry->LastWriteTime.QuadPart};
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
  return true;
}
#else
bool PlayedWatches::list(const std::string& path, Listing& listing) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) return false;
  listing.clear();
  // A folder's own contents changing is none of its parent's.
  for (const auto& entry : std::filesystem::directory_iterator(path, error))
    listing[entry.path().filename().string()] = {
        keyOf(entry.path().string()),
        entry.is_directory(error) ? 0 : entry.last_write_time(error).time_since_epoch().count()};
  return true;
}
#endif

#ifdef _WIN32
// A folder held open on Windows could not be made again by its name until let go: its
// identity by its path is all there is.
PlayedWatches::Held::Held(const std::string&) {}
PlayedWatches::Held::~Held() {}
bool PlayedWatches::stillThere(const Watched& folder) { return keyOf(folder.path) == folder.key; }
#else
PlayedWatches::Held::Held(const std::string& path)
    : fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
PlayedWatches::Held::~Held() {
  if (fd >= 0) ::close(fd);
}
bool PlayedWatches::stillThere(const Watched& folder) {
  struct stat st {};
  return ::fstat(folder.held->fd, &st) == 0 && st.st_nlink > 0 && keyOf(folder.path) == folder.key;
}
#endif

std::set<std::string> PlayedWatches::watchedPaths() const {
  std::set<std::string> paths;
  for (const auto& [watch, folder] : watched_) paths.insert(folder.path);
  return paths;
}

WatchStart PlayedWatches::watchFolder(const std::string& path) {
  Watched folder{path, "", {}, std::make_shared<Held>(path)};
  if (!list(path, folder.seen)) return {WatchStart::NoFolder};
  folder.key = keyOf(path);
  // One folder, one watch, however it is named: as inotify keys them by inode.
  for (const auto& [watch, known] : watched_)
    if (known.key == folder.key) return {WatchStart::Watching, watch};
  if (watched_.size() >= limit) return {WatchStart::LimitReached};
  watched_[next_] = folder;
  return {WatchStart::Watching, next_++};
}

void PlayedWatches::unwatch(int watch) { watched_.erase(watch); }

void PlayedWatches::look(WatchWake& wake) {
  for (auto at = watched_.begin(); at != watched_.end();) {
    Listing now;
    if (!stillThere(at->second) || !list(at->second.path, now)) {
      wake.events.push_back({at->first, "", true});
      at = watched_.erase(at);
      continue;
    }
    Listing& seen = at->second.seen;
    for (const auto& [name, entry] : now) {
      auto before = seen.find(name);
      if (before == seen.end() || before->second.key != entry.key)
        wake.events.push_back({at->first, name});
      else if (before->second.written != entry.written)
        wake.events.push_back({at->first, name, false, true});
    }
    for (const auto& [name, entry] : seen)
      if (!now.count(name)) wake.events.push_back({at->first, name});
    seen = std::move(now);
    ++at;
  }
}

WatchWake PlayedWatches::wait(std::optional<double> timeout) {
  WatchWake wake;
  if (script.empty()) {
    watchedAtEnd = watchedPaths();
    wake.stop = true;
    return wake;
  }
  Step& next = script.front();
  if (timeout && clock + *timeout < next.at) {
    clock += *timeout;
  } else {
    clock = std::max(clock, next.at);
    Step step = std::move(next);
    script.pop_front();
    if (step.act) step.act();
    if (step.overflow) {
      WatchWake lost;
      look(lost);  // what changed is dropped, as an overflowing queue drops it
      wake.overflowed = true;
      return wake;
    }
  }
  look(wake);
  return wake;
}

}  // namespace kelvane::testing
