#pragma once

#include <string>

#include "platform/failure.h"
#include "startup/app_state.h"

namespace kelvane {

class Platform;

inline constexpr const char* kReportName = "kelvaneerrors.txt";

// The report's nineteen lines, each ended by CR LF.
std::string formatErrorReport(const Failure& failure, const AppState& state,
                              const std::string& programFolder);

// Writes the report beside the executable, offers to open it, and returns the exit
// status 1. Never throws: it is the last thing a failing run does.
int reportFailure(Platform& platform, const Failure& failure, const AppState& state);

}  // namespace kelvane
