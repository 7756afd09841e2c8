#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelvane {

// Builds that share a link root or a table take turns, whatever settings file each comes
// from: holds the lock of every one of paths (a dry run shares them), waiting for the build
// that holds one and saying once on standard error that it waits.
std::vector<std::unique_ptr<PathLock>> takeTurns(Platform& platform,
                                                 const std::vector<std::string>& paths,
                                                 bool shared);

}  // namespace kelvane
