#include "startup/form_load.h"

#include <algorithm>

#include "platform/platform.h"
#include "settings/number_text.h"

namespace kelvane {

const RunStep kShowingGui{"Showing GUI",
                          "Make sure the program can open its window on this desktop"};

const char* const kHelpText =
    "Physical path link to Virtual path, optional genre.\r\n"
    "Press return at the end of each line.\r\n"
    "Format: Physical|subsection(genre)\r\n"
    "ie1.0: D:\\mp3s\\alternative|alternative\r\n"
    "ie2.1: D:\\iso\\\r\n"
    "ie2.2: F:\\iso\\\r\n";

bool isOpenRequest(const std::string& argumentText) {
  return argumentText == kOpenOption || argumentText.rfind(std::string(kOpenOption) + " ", 0) == 0;
}

RunMode formLoad(Platform& platform, const std::string& argumentText, AppState& state) {
  // "--open FILE": the window with FILE, its name taken exactly as given (a "?" or a quote
  // in it is part of the name), so that opening a file never starts a build.
  bool open = isOpenRequest(argumentText);
  state.datPath =
      open ? argumentText.substr(std::min(argumentText.size(), std::string(kOpenOption).size() + 1))
           : argumentText;
  if (state.datPath.empty()) {
    state.boxes.Lines = kHelpText;
    return RunMode::WindowEmpty;
  }

  std::string::size_type request = std::string::npos;
  inStep({"Parsing dat path from parameters", "Make sure you use format ?datfile.dat"}, [&] {
    if (!open) {
      std::erase(state.datPath, '"');
      request = state.datPath.find('?');
      if (request == 0) state.datPath.erase(0, 1);
    }
    state.boxes.Lines.clear();
  });

  inStep({"Checking to see if dat exists", "Make sure the datfile specified exists!"}, [&] {
    // Only a relative name may be the program folder's: an absolute one is shown as given.
    if (!platform.files.fileExists(state.datPath) &&
        isRelativePath(state.datPath, platform.files.separators()))
      state.datPath =
          joinPath(platform.processes.programFolder(), state.datPath, platform.files.separator());
    state.caption = captionFor(state.datPath, platform.files.separators());
  });

  inStep({"Loading dat file", "Check to see if datfile exists (see above)"}, [&] {
    readSettings(platform, state.datPath, state.settings, state.boxes.Lines,
                 request != std::string::npos);
  });

  if (request != std::string::npos) return RunMode::Build;

  const Settings& s = state.settings;
  state.boxes.WhereCreate = s.WhereCreate;
  state.boxes.VFS = s.VFS;
  state.boxes.VFSold = s.VFSold;
  state.boxes.VirtualR = s.VirtualR;
  state.boxes.OwnU = s.OwnU;
  state.boxes.OwnG = s.OwnG;
  state.boxes.CHMOD = numberText(s.CHMOD);
  return RunMode::WindowLoaded;
}

}  // namespace kelvane
