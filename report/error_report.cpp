#include "report/error_report.h"

#include "platform/platform.h"
#include "startup/form_load.h"

namespace kelvane {

std::string formatErrorReport(const Failure& failure, const AppState& state,
                              const std::string& programFolder) {
  const std::string rule = "------------------";
  const Settings& s = state.settings;
  std::string lines[] = {
      "Error number      : " + std::to_string(failure.number()),
      "Error description : " + failure.description(),
      "Error source      : " + failure.source(),
      "",
      "Program settings",
      rule,
      "Input VFS      : " + s.VFSold,
      "Output VFS     : " + s.VFS,
      "Datfile        : " + state.datPath,
      "Working folder : " + programFolder,
      "",
      rule,
      "Extra error information",
      rule,
      "Creating structure in     : " + s.WhereCreate,
      "Action when error occured : " + state.runStep.action,
      "",
      "",
      "Recommended FIX : " + state.runStep.fix,
  };
  std::string out;
  for (const auto& line : lines) out += line + "\r\n";
  return out;
}

int reportFailure(Platform& platform, const Failure& failure, const AppState& state) {
  try {
    std::string folder = platform.programFolder();
    std::string path = joinPath(folder, kReportName, platform.separator());
    try {
      platform.writeFile(path, formatErrorReport(failure, state, folder));
    } catch (const Failure& unwritable) {
      // Nowhere to put the report: say in the message what it would have said.
      platform.message("Error",
                       "An error has occured: " + failure.description() + "\r\nWhile: " +
                           state.runStep.action + "\r\nRecommended FIX: " + state.runStep.fix +
                           "\r\nThe error report could not be written: " + unwritable.description(),
                       Icon::Error);
      return 1;
    }
    if (platform.question("Error",
                          "An error has occured.  Please see kelvaneerrors.txt for more "
                          "information\r\nView it now?",
                          Icon::Error))
      platform.startDetached("xdg-open", {path});
  } catch (const std::exception& e) {
    platform.message("Error", std::string("An error has occured: ") + e.what(), Icon::Error);
  }
  return 1;
}

}  // namespace kelvane
