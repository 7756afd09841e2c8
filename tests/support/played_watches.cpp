#include "tests/support/played_watches.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvane::testing {

// The folder's identity: a folder removed and made again is another one.
std::string PlayedWatches::keyOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

bool PlayedWatches::list(const std::string& path, Listing& listing) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) return false;
  listing.clear();
  // A folder's own contents changing is none of its parent's.
  for (const auto& entry : std::filesystem::directory_iterator(path, error))
    listing[entry.path().filename().string()] = {
        keyOf(entry.path().string()), entry.is_directory(error) ? std::filesystem::file_time_type()
                                                                : entry.last_write_time(error)};
  return true;
}

#ifdef _WIN32
// Windows keeps no inode numbers to reuse: the path's identity is all there is.
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
