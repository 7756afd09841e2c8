#pragma once

#include <string_view>

#include "settings/app_state.h"

namespace kelvane {

class EntryEncoding;

// Refuses values that would change the table's shape or put folders outside the link root:
// a "|", line break or NUL byte in the virtual root, owner user, owner group or a genre, a
// line break or NUL byte in the link root or a merge source (and a "|" in the link root when
// the root entry is written), a genre with a ".." part, and one with
// a part starting with "." (a hidden name no listing shows).
void refuseUnsafeValues(const AppState& state, bool writesRootEntry, std::string_view separators);

// Refuses a value written into the new entries (as refuseUnsafeValues names them) that
// encoding cannot hold.
void refuseUnencodableValues(const AppState& state, bool writesRootEntry,
                             const EntryEncoding& encoding);

}  // namespace kelvane
