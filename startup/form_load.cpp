#include "startup/form_load.h"

#include <algorithm>

#include "platform/platform.h"
#include "settings/number_text.h"

namespace kelvane {

const RunStep kShowingGui{"Showing GUI",
                          "Make sure the program can open its window on this desktop"};

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
  // The boxes stay empty: the window shows what goes in them as hints.
  if (state.datPath.empty()) return RunMode::WindowEmpty;

  std::string::size_type request = std::string::npos;
  inStep({"Parsing dat path from parameters", "Make sure you use format ?datfile.dat"}, [&] {
    if (!open) {
      std::erase(state.datPath, '"');
      request = state.datPath.find('?');
      if (request == 0) state.datPath.erase(0, 1);
    }
    state.boxes.Lines.clear();
  });
  // Nothing but quotes (kelvane.exe "" from a shortcut or a script) names no file either.
  if (!open && request == std::string::npos && state.datPath.empty()) return RunMode::WindowEmpty;

  inStep({"Checking to see if dat exists", "Make sure the datfile specified exists!"}, [&] {
    // Only a relative name may be the program folder's: an absolute one is shown as given.
    if (!platform.files.fileExists(state.datPath) &&
        isRelativePath(state.datPath, platform.files.separators()))
      state.datPath =
          joinPath(platform.processes.programFolder(), state.datPath, platform.files.separator());
    state.caption = captionFor(state.datPath, platform.files.separators());
  });

  std::string bytes;
  inStep({"Loading dat file", "Check to see if datfile exists (see above)"}, [&] {
    readSettings(platform, state.datPath, state.settings, state.boxes.Lines,
                 request != std::string::npos, &bytes);
  });

  if (request != std::string::npos) return RunMode::Build;

  const Settings& s = state.settings;
  SettingsTexts& boxes = state.boxes;
  boxes.WhereCreate = s.WhereCreate;
  boxes.VFS = s.VFS;
  boxes.VFSold = s.VFSold;
  boxes.VirtualR = s.VirtualR;
  boxes.OwnU = s.OwnU;
  boxes.OwnG = s.OwnG;
  boxes.CHMOD = numberText(s.CHMOD);
  // The whole file is read in one encoding, and saved again in it.
  state.fileIsUtf8 = s.textIsUtf8;
  state.byteOrderMark = s.byteOrderMark;
  state.fileBytes = bytes;
  if (!s.textIsUtf8)
    for (std::string* text : {&boxes.WhereCreate, &boxes.VFS, &boxes.VFSold, &boxes.VirtualR,
                              &boxes.OwnU, &boxes.OwnG, &boxes.Lines})
      *text = platform.files.fromCodePage(*text);
  return RunMode::WindowLoaded;
}

}  // namespace kelvane
