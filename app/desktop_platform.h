#pragma once

#include <memory>

#include "platform/platform.h"

namespace kelvane {

// The platform of the real program: Linux files and processes, and Qt for messages and the
// window when a display can be opened.
std::unique_ptr<Platform> makeDesktopPlatform(int& argc, char** argv);

}  // namespace kelvane
