#pragma once

// The core's tests run on Windows against the Windows platform: their fake platform derives
// from the system's platform, which is this one here.
#include "platform/win/win_platform.h"

namespace kelvane {
using PosixPlatform = WinPlatform;
}  // namespace kelvane
