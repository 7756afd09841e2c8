#include "engine/build_lock.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/failure.h"
#include "base/visible_text.h"

namespace kelvane {
namespace {

std::string seconds(double wait) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", wait);
  return text;
}

std::string heldBy(const std::string& holder) {
  return holder.empty() ? "another build" : visibleText(holder);
}

}  // namespace

std::vector<std::unique_ptr<PathLock>> takeTurns(Platform& platform,
                                                 const std::vector<std::string>& paths, bool shared,
                                                 double waitSeconds) {
  std::vector<std::unique_ptr<PathLock>> locks;
  for (const std::string& path : paths)
    if (!path.empty())
      if (auto lock = platform.files.openLock(path, shared)) locks.push_back(std::move(lock));
  // One lock for what two paths share, and always taken in the same order, so that two
  // builds never each hold what the other waits for.
  auto byIdentity = [](const auto& a, const auto& b) { return a->identity() < b->identity(); };
  std::sort(locks.begin(), locks.end(), byIdentity);
  locks.erase(
      std::unique(locks.begin(), locks.end(),
                  [](const auto& a, const auto& b) { return a->identity() == b->identity(); }),
      locks.end());
  for (const auto& lock : locks) {
    if (lock->tryHold()) continue;
    std::string where(1, '"');
    where.append(visibleText(lock->shown())).push_back('"');
    platform.messages.warn("kelvane: " + where + " is held by " + heldBy(lock->holder()) +
                           "; waiting up to " + seconds(waitSeconds) + " s for it");
    if (lock->holdWithin(waitSeconds)) continue;
    throw Failure(kErrLockHeld,
                  "Another build still held " + where + " after " + seconds(waitSeconds) +
                      " s: " + heldBy(lock->holder()),
                  "lock",
                  "Let the build named above finish, or stop it if it hangs; a build that may "
                  "wait longer takes --wait SECONDS");
  }
  return locks;
}

}  // namespace kelvane
