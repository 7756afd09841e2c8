#pragma once

namespace kelvane {

class Platform;
struct AppState;

// The build run: rebuilds the mirror folders and writes the new VFS table from the loaded
// settings in state. Throws kelvane::Failure with state.runStep naming the failing phase.
void runBuild(Platform& platform, AppState& state);

}  // namespace kelvane
