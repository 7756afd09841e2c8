#pragma once

#include <string>
#include <string_view>

#include "startup/app_state.h"

namespace kelvane {

class EntryEncoding;
class FolderTree;
class Platform;

// Refuses a link root whose emptying would destroy what the user keeps: an empty setting
// (typedLinkRoot is the setting as the file held it), the root of a file system, a folder
// that holds or is a merge source, the input or output VFS file or the settings file
// (each both as named and with its links followed), or a folder below which anything is
// mounted. tree is the link root as opened for the removal, or null when there is none
// yet. Also refuses an output VFS file that is the settings file. Throws kelvane::Failure
// (kErrRefused) naming the paths; checks only, touches nothing.
void refuseUnsafeLinkRoot(Platform& platform, FolderTree* tree, const std::string& typedLinkRoot,
                          const AppState& state);

// Refuses values that would change the table's shape or put folders outside the link root:
// a "|", line break or NUL byte in the virtual root, owner user, owner group or a genre, a
// line break or NUL byte in the link root or a merge source (and a "|" in the link root when
// the root entry is written), and a genre with a ".." part.
void refuseUnsafeValues(const AppState& state, bool writesRootEntry, std::string_view separators);

// Refuses a value written into the new entries (as refuseUnsafeValues names them) that
// encoding cannot hold.
void refuseUnencodableValues(const AppState& state, bool writesRootEntry,
                             const EntryEncoding& encoding);

}  // namespace kelvane
