#include "report/error_report.h"

#include <algorithm>

#include "base/visible_text.h"
#include "platform/platform.h"

namespace kelvane {
namespace {

// Values and descriptions are shown as every message shows names (engine/visible_text.h):
// a line break, a terminal's control sequence or a bidirectional override in a folder's name
// can neither add lines to the report nor steer whoever reads it with cat.
std::string shown(const std::string& value, char separator) {
  return visibleText(value, separator == '\\');
}

}  // namespace

std::string formatErrorReport(const Failure& failure, const AppState& state,
                              const std::string& programFolder, char separator) {
  auto shown = [separator](const std::string& value) { return kelvane::shown(value, separator); };
  const std::string rule = "------------------";
  const Settings& s = state.settings;
  std::string lines[] = {
      "Error number      : " + std::to_string(failure.number()),
      "Error description : " + shown(failure.description()),
      "Error source      : " + shown(failure.source()),
      "",
      "Program settings",
      rule,
      "Input VFS      : " + shown(s.VFSold),
      "Output VFS     : " + shown(s.VFS),
      "Datfile        : " + shown(state.datPath),
      "Working folder : " + shown(programFolder),
      "",
      rule,
      "Extra error information",
      rule,
      "Creating structure in     : " + shown(s.WhereCreate),
      "Action when error occured : " + shown(failure.action()),
      "",
      "",
      "Recommended FIX : " + shown(failure.fix()),
  };
  std::string out;
  for (const auto& line : lines) out += line + "\r\n";
  return out;
}

std::string stateReportFolder(Platform& platform) {
  return joinPath(platform.files.userStateFolder(), "kelvane", platform.files.separator());
}

std::vector<std::string> reportPaths(Platform& platform) {
  char separator = platform.files.separator();
  return {joinPath(platform.processes.programFolder(), kReportName, separator),
          joinPath(stateReportFolder(platform), kReportName, separator)};
}

std::string viewQuestion(const std::string& path, bool besideExecutable) {
  return std::string("An error has occured.  Please see ") +
         (besideExecutable ? kReportName : path) + " for more information\r\nView it now?";
}

namespace {

// Where the report went, and whether beside the executable; an empty path when it could not
// be written anywhere, which the message then says in its place.
struct WrittenReport {
  std::string path;
  bool beside = false;
};

WrittenReport putReport(Platform& platform, const Failure& failure, const AppState& state) {
  std::string folder = platform.processes.programFolder();
  std::string report = formatErrorReport(failure, state, folder, platform.files.separator());
  WrittenReport written;
  std::string unwritable;
  // Beside the executable first, where users have always found it. An installed program's
  // folder cannot be written by its users, and a system program folder (/usr/bin) is no
  // place for root's report: those reports go to the state folder.
  try {
    if (platform.files.folderWritable(folder) &&
        !platform.files.isSystemProgramFolder(folder, platform.processes.executablePath())) {
      written.path = joinPath(folder, kReportName, platform.files.separator());
      platform.files.writeNewFile(written.path, report);
      written.beside = true;
    }
  } catch (const Failure& e) {
    unwritable = e.description();
  }
  if (!written.beside) {
    try {
      std::string stateFolder = stateReportFolder(platform);
      platform.files.createPrivateFolders(stateFolder);
      written.path = joinPath(stateFolder, kReportName, platform.files.separator());
      platform.files.writeNewFile(written.path, report);
      unwritable.clear();
    } catch (const Failure& e) {
      unwritable += (unwritable.empty() ? "" : "; ") + e.description();
    }
  }
  if (!unwritable.empty()) {
    // Nowhere to put the report: say in the message what it would have said.
    platform.messages.message(
        "Error",
        "An error has occured: " + shown(failure.description(), platform.files.separator()) +
            "\r\nWhile: " + shown(failure.action(), platform.files.separator()) +
            "\r\nRecommended FIX: " + shown(failure.fix(), platform.files.separator()) +
            "\r\nThe error report could not be written: " + unwritable,
        Icon::Error);
    written.path.clear();
  }
  return written;
}

}  // namespace

int reportFailure(Platform& platform, const Failure& failure, const AppState& state) {
  try {
    WrittenReport written = putReport(platform, failure, state);
    if (!written.path.empty() &&
        platform.messages.question("Error", viewQuestion(written.path, written.beside),
                                   Icon::Error))
      platform.processes.startDetached(platform.processes.textEditor(), {written.path});
  } catch (const std::exception& e) {
    platform.messages.message("Error", std::string("An error has occured: ") + e.what(),
                              Icon::Error);
  }
  return 1;
}

std::string writeReport(Platform& platform, const Failure& failure, const AppState& state) {
  try {
    return putReport(platform, failure, state).path;
  } catch (const std::exception& e) {
    platform.messages.warn(std::string("kelvane: the error report could not be written: ") +
                           e.what());
    return "";
  }
}

std::string dryRunFailureText(const std::string& report) {
  std::string text =
      "kelvane: the dry run failed; nothing was changed and no report was written. The "
      "report would say:";
  // One line of standard error per report line; a last line without CR LF is still a line.
  for (size_t at = 0; at < report.size();) {
    size_t end = std::min(report.find("\r\n", at), report.size());
    text += '\n';
    text.append(report, at, end - at);
    at = end + 2;
  }
  return text;
}

int reportDryRunFailure(Platform& platform, const Failure& failure, const AppState& state) {
  try {
    platform.messages.warn(dryRunFailureText(formatErrorReport(
        failure, state, platform.processes.programFolder(), platform.files.separator())));
  } catch (const std::exception& e) {
    platform.messages.warn(std::string("kelvane: the dry run failed: ") + e.what());
  }
  return 1;
}

}  // namespace kelvane
