#pragma once

#include <string>
#include <vector>

#include "base/failure.h"
#include "settings/app_state.h"

namespace kelvane {

struct Platform;

// The report's nineteen lines, each ended by CR LF; values and descriptions escaped with
// visibleText (a line break shown as \r or \n), keeping separator when it is "\".
std::string formatErrorReport(const Failure& failure, const AppState& state,
                              const std::string& programFolder, char separator = '/');

// The folder the report goes to when it has no place beside the executable: kelvane/ in
// the user's state folder ($XDG_STATE_HOME, default ~/.local/state, for root /var/lib).
std::string stateReportFolder(Platform& platform);

// Every path reportFailure may write the report to, beside the executable first.
std::vector<std::string> reportPaths(Platform& platform);

// The question that offers to open the report at path: the usual words when the report is
// beside the executable, the full path when it is anywhere else.
std::string viewQuestion(const std::string& path, bool besideExecutable);

// Writes the report, as a new file, beside the executable when that folder can be written
// and is no system program folder, else in stateReportFolder(); offers to open it (the question
// naming where it is), and returns the exit status 1. Never throws: it is the last thing a failing
// run does.
int reportFailure(Platform& platform, const Failure& failure, const AppState& state);

// The report as reportFailure writes it, without the question: for builds that no one
// waits for (following). Returns where it went; empty when it could not be written, which
// a message then says. Never throws.
std::string writeReport(Platform& platform, const Failure& failure, const AppState& state);

// What a failing dry run prints: a line saying that nothing was changed and no report was
// written, then each of report's lines (ended by CR LF, the last perhaps by nothing) on a
// line of its own.
std::string dryRunFailureText(const std::string& report);

// A failing dry run writes nothing, not even a report: the report's text goes to standard
// error under a line saying that nothing was changed and no report was written. Returns the
// exit status 1; never throws.
int reportDryRunFailure(Platform& platform, const Failure& failure, const AppState& state);

}  // namespace kelvane
