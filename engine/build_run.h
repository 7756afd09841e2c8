#pragma once

#include <cstddef>
#include <iosfwd>

#include "settings/app_state.h"

namespace kelvane {

struct Platform;

// The whole build: scans the merge sources, brings the mirror under the link root to their
// layout (removing what it does not hold, creating what is missing), and writes the new VFS
// table. Throws kelvane::Failure naming the phase's step and a fix when a phase fails; the
// VFS table is replaced only when every phase has succeeded. With dryRun, runs every
// check and read, changes nothing, and prints there what it would remove and create.
// Returns how many folders it removed and created (or would have).
size_t runBuild(Platform& platform, AppState& state, std::ostream* dryRun = nullptr);

}  // namespace kelvane
