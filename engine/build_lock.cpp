#include "engine/build_lock.h"

#include <algorithm>
#include <utility>

namespace kelvane {

std::vector<std::unique_ptr<PathLock>> takeTurns(Platform& platform,
                                                 const std::vector<std::string>& paths,
                                                 bool shared) {
  // A folder is one thing whether or not it is named with a separator after it, and
  // whether or not it exists yet: the key is its resolved path without one.
  std::vector<std::pair<std::string, std::string>> keys;  // resolved, as named
  for (std::string path : paths) {
    while (path.size() > 1 && platform.separators().find(path.back()) != std::string_view::npos)
      path.pop_back();
    if (!path.empty()) keys.emplace_back(platform.resolvedPath(path), path);
  }
  // Always taken in the same order, so two builds never each hold what the other waits for.
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end(),
                         [](const auto& a, const auto& b) { return a.first == b.first; }),
             keys.end());
  std::vector<std::unique_ptr<PathLock>> held;
  bool said = false;
  for (const auto& [resolved, named] : keys) {
    std::unique_ptr<PathLock> lock = platform.openLock(named, shared);
    if (!lock) continue;
    if (!lock->tryHold()) {
      if (!said)
        platform.warn("kelvane: waiting for another build using \"" + resolved + "\" to finish");
      said = true;
      lock->hold();
    }
    held.push_back(std::move(lock));
  }
  return held;
}

}  // namespace kelvane
