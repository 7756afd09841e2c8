#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelvane {

// A link root or a table that a build acts on.
struct LockedPath {
  std::string path;
  Guarded what;
};

// Builds that share a link root or a table take turns, whatever settings file each comes
// from: holds every lock of paths (a dry run shares them), each taken once, always in one
// order. A lock another build holds is waited for, saying once on standard error who holds
// it; all the waits together end at one deadline, waitSeconds from now, and a lock still held
// then fails the build naming the holder.
std::vector<std::unique_ptr<PathLock>> takeTurns(Platform& platform,
                                                 const std::vector<LockedPath>& paths, bool shared,
                                                 double waitSeconds);

}  // namespace kelvane
