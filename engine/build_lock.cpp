#include "engine/build_lock.h"

#include <algorithm>
#include <chrono>
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
  // The system could not say which process holds it now.
  return holder.empty() ? "another process" : visibleText(holder);
}

}  // namespace

std::vector<std::unique_ptr<PathLock>> takeTurns(Platform& platform,
                                                 const std::vector<LockedPath>& paths, bool shared,
                                                 double waitSeconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration<double>(waitSeconds);
  std::vector<std::unique_ptr<PathLock>> locks;
  for (const LockedPath& path : paths)
    if (!path.path.empty())
      for (auto& lock : platform.files.openLocks(path.path, path.what, shared))
        locks.push_back(std::move(lock));
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
    double left = std::max(0.0, std::chrono::duration<double>(deadline - Clock::now()).count());
    platform.messages.warn("kelvane: " + where + " is held by " + heldBy(lock->holder()) +
                           "; waiting up to " + seconds(left) + " s for it");
    if (lock->holdWithin(left)) continue;
    throw Failure(kErrLockHeld,
                  where + " was still held after " + seconds(waitSeconds) + " s, by " +
                      heldBy(lock->holder()),
                  "lock",
                  "Let the process named above finish, or stop it if it hangs; a build that may "
                  "wait longer takes --wait SECONDS");
  }
  return locks;
}

}  // namespace kelvane
