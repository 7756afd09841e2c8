#pragma once

#include <string>

#include "startup/app_state.h"

namespace kelvane {

class Platform;

enum class RunMode { WindowEmpty, WindowLoaded, Build };

// The help text the merge-source box shows in an empty window.
extern const char* const kHelpText;

// "--open FILE" opens the window with FILE whatever its name holds.
inline constexpr const char* kOpenOption = "--open";
bool isOpenRequest(const std::string& argumentText);

// Start-up: reads the argument text, chooses the run mode, finds and loads the settings
// file and fills the state for the window or the build. Throws kelvane::Failure with
// state.runStep saying which step failed.
RunMode formLoad(Platform& platform, const std::string& argumentText, AppState& state);

// folder & separator & name, without doubling the separator of a root folder.
std::string joinPath(const std::string& folder, const std::string& name, char separator);

}  // namespace kelvane
