#pragma once

#include <string>

#include "startup/app_state.h"

namespace kelvane {

class Platform;

// Refuses a link root whose emptying would destroy what the user keeps: an empty setting
// (typedLinkRoot is the setting as the file held it), the root of the file system, or a
// folder that holds or is a merge source, the input or output VFS file or the settings
// file. Paths are compared absolute with links resolved. Throws kelvane::Failure
// (kErrRefused) naming the paths; checks only, touches nothing.
void refuseUnsafeLinkRoot(Platform& platform, const std::string& typedLinkRoot,
                          const AppState& state);

}  // namespace kelvane
