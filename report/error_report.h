#pragma once

#include <string>

#include "platform/failure.h"
#include "settings/app_state.h"

namespace kelvane {

class Platform;

inline constexpr const char* kReportName = "kelvaneerrors.txt";

// The report's nineteen lines, each ended by CR LF.
std::string formatErrorReport(const Failure& failure, const AppState& state,
                              const std::string& programFolder);

// The folder the report goes to when the program's own folder cannot be written:
// kelvane/ in the user's state folder ($XDG_STATE_HOME, default ~/.local/state).
std::string stateReportFolder(Platform& platform);

// The question that offers to open the report at path: the usual words when the report is
// beside the executable, the full path when it is anywhere else.
std::string viewQuestion(const std::string& path, bool besideExecutable);

// Writes the report beside the executable when that folder can be written, else in
// stateReportFolder(); offers to open it (the question naming where it is), and returns the
// exit status 1. Never throws: it is the last thing a failing run does.
int reportFailure(Platform& platform, const Failure& failure, const AppState& state);

}  // namespace kelvane
