#include "platform/desktop_platform.h"

#include "platform/posix_platform.h"

namespace kelvane {

std::unique_ptr<Platform> makeDesktopPlatform(int&, char**) {
  return std::make_unique<PosixPlatform>();
}

}  // namespace kelvane
