#pragma once

#include <memory>

#include "platform/watches.h"

namespace kelvane {

// Watches on Linux: inotify for the folders, SIGTERM and SIGINT taken through a signalfd
// (held back from the moment following starts, so that a build is never cut short: an end
// asked for during one is seen after it), and sd_notify for systemd where the program was
// built with libsystemd. Fails when inotify cannot be had, naming the limit to raise.
std::unique_ptr<Watches> openPosixWatches();

}  // namespace kelvane
