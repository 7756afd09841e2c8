#pragma once

#include <string>

#include "platform/watches.h"

namespace kelvane {

struct Platform;

// One run of the program from its argument text to its exit status: start-up, then the
// window or the build, with every failure turned into the error report. openWatches gives
// what following (--follow) needs: each system's program passes its own.
int runProgram(Platform& platform, const std::string& argumentText,
               const OpenWatches& openWatches = {});

}  // namespace kelvane
