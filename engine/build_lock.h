#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelvane {

// Builds that share a link root or a table take turns, whatever settings file each comes
// from: holds the lock of every one of paths (a dry run shares them). A lock another build
// holds is waited for at most waitSeconds, saying once on standard error who holds it; still
// held then, the build fails naming the holder.
std::vector<std::unique_ptr<PathLock>> takeTurns(Platform& platform,
                                                 const std::vector<std::string>& paths, bool shared,
                                                 double waitSeconds);

}  // namespace kelvane
