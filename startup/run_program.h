#pragma once

#include <string>

namespace kelvane {

struct Platform;

// One run of the program from its argument text to its exit status: start-up, then the
// window or the build, with every failure turned into the error report.
int runProgram(Platform& platform, const std::string& argumentText);

}  // namespace kelvane
