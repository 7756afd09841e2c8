#pragma once

#include <string>

#include "settings/app_state.h"

namespace kelvane {

class FolderTree;
struct Platform;

// Refuses a link root whose emptying would destroy what the user keeps: an empty setting
// (typedLinkRoot is the setting as the file held it), the root of a file system, a folder
// that holds or is a merge source, the input or output VFS file or the settings file
// (each both as named and with its links followed), or a folder below which anything is
// mounted. tree is the link root as opened for the removal, or null when there is none
// yet. Also refuses an output VFS file that is the settings file. Throws kelvane::Failure
// (kErrRefused) naming the paths; checks only, touches nothing.
void refuseUnsafeLinkRoot(Platform& platform, FolderTree* tree, const std::string& typedLinkRoot,
                          const AppState& state);

}  // namespace kelvane
