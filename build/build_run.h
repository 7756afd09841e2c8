#pragma once

#include "startup/app_state.h"

namespace kelvane {

class Platform;

// The whole build: clears the previous mirror under the link root, scans the merge sources,
// writes the new VFS table and creates the mirror folders. Sets state.runStep before every
// phase and throws kelvane::Failure when one fails; the VFS table is replaced only when
// every phase has succeeded.
void runBuild(Platform& platform, AppState& state);

}  // namespace kelvane
