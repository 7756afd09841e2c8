#include "app/desktop_platform.h"

#include "window/qt/desktop_platform_qt.h"

namespace kelvane {

std::unique_ptr<Platform> makeDesktopPlatform(int& argc, char** argv) {
  return std::make_unique<DesktopPlatform>(argc > 0 ? argv[0] : nullptr);
}

}  // namespace kelvane
