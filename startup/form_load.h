#pragma once

#include <string>

#include "base/failure.h"
#include "settings/app_state.h"

namespace kelvane {

struct Platform;

enum class RunMode { WindowEmpty, WindowLoaded, Build };

// The last step of start-up: filling and showing the window.
extern const RunStep kShowingGui;

// "--open FILE" opens the window with FILE whatever its name holds.
inline constexpr const char* kOpenOption = "--open";
bool isOpenRequest(const std::string& argumentText);

// Start-up: reads the argument text, chooses the run mode, finds and loads the settings
// file and fills the state for the window or the build. Throws kelvane::Failure naming the
// step that failed.
RunMode formLoad(Platform& platform, const std::string& argumentText, AppState& state);

}  // namespace kelvane
