#include "report/error_report.h"

#include "engine/visible_text.h"
#include "platform/platform.h"

namespace kelvane {
namespace {

// A value holding a line break (which a build refuses) would add lines to the report, and
// one read from a file of random bytes could steer the terminal it is shown in: its control
// bytes are escaped (a line break as the two characters \r or \n), so the report keeps its
// nineteen lines.
std::string shown(const std::string& value) { return visibleText(value); }

// What the failure itself says to do, where it knows; else what its step says.
const std::string& fixFor(const Failure& failure, const AppState& state) {
  return failure.fix().empty() ? state.runStep.fix : failure.fix();
}

}  // namespace

std::string formatErrorReport(const Failure& failure, const AppState& state,
                              const std::string& programFolder) {
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
      "Action when error occured : " + shown(state.runStep.action),
      "",
      "",
      "Recommended FIX : " + shown(fixFor(failure, state)),
  };
  std::string out;
  for (const auto& line : lines) out += line + "\r\n";
  return out;
}

std::string stateReportFolder(Platform& platform) {
  return joinPath(platform.userStateFolder(), "kelvane", platform.separator());
}

std::string viewQuestion(const std::string& path, bool besideExecutable) {
  return std::string("An error has occured.  Please see ") +
         (besideExecutable ? kReportName : path) + " for more information\r\nView it now?";
}

int reportFailure(Platform& platform, const Failure& failure, const AppState& state) {
  try {
    std::string folder = platform.programFolder();
    std::string report = formatErrorReport(failure, state, folder);
    std::string path;
    bool beside = false;
    std::string unwritable;
    // Beside the executable first, where users have always found it. An installed program's
    // folder cannot be written by its users, and a system program folder (/usr/bin) is no
    // place for root's report: those reports go to the state folder.
    try {
      if (platform.folderWritable(folder) && !platform.isSystemProgramFolder(folder)) {
        path = joinPath(folder, kReportName, platform.separator());
        platform.writeNewFile(path, report);
        beside = true;
      }
    } catch (const Failure& e) {
      unwritable = e.description();
    }
    if (!beside) {
      try {
        std::string stateFolder = stateReportFolder(platform);
        platform.createPrivateFolders(stateFolder);
        path = joinPath(stateFolder, kReportName, platform.separator());
        platform.writeNewFile(path, report);
        unwritable.clear();
      } catch (const Failure& e) {
        unwritable += (unwritable.empty() ? "" : "; ") + e.description();
      }
    }
    if (!unwritable.empty()) {
      // Nowhere to put the report: say in the message what it would have said.
      platform.message("Error",
                       "An error has occured: " + failure.description() + "\r\nWhile: " +
                           state.runStep.action + "\r\nRecommended FIX: " + fixFor(failure, state) +
                           "\r\nThe error report could not be written: " + unwritable,
                       Icon::Error);
      return 1;
    }
    if (platform.question("Error", viewQuestion(path, beside), Icon::Error))
      platform.startDetached(platform.textEditor(), {path});
  } catch (const std::exception& e) {
    platform.message("Error", std::string("An error has occured: ") + e.what(), Icon::Error);
  }
  return 1;
}

}  // namespace kelvane
