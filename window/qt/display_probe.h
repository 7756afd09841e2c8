#pragma once

#include <string>

namespace kelvane {

// The Qt platform plugin ("xcb" or "wayland") that can open windows on this session's
// display, or "" when there is none: DISPLAY names an X server that accepts a connection,
// or WAYLAND_DISPLAY names a compositor socket that accepts one and Qt has its Wayland
// plugin. Asked before Qt is started, because Qt aborts when it cannot open its platform.
std::string usableQtPlatform();

}  // namespace kelvane
