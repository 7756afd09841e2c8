#include "window/frm_main.h"

#include "platform/failure.h"
#include "platform/platform.h"

namespace kelvane {

bool FrmMain::savevfs(const std::string& mpath) {
  if (mpath.empty()) {
    std::string chosen =
        platform_.saveDialog(kSaveDialogTitle, kSaveDialogFilter, platform_.programFolder());
    if (chosen.empty()) {
      platform_.message("Notice", "File not saved.  No output filename selected", Icon::Error);
      return false;
    }
    state_.datPath = chosen;
  }
  try {
    platform_.writeFile(state_.datPath, formatSettings(state_.boxes));
  } catch (const Failure& failure) {
    platform_.message("Notice",
                      "Settings not saved: " + failure.description() +
                          "\r\nCheck that the folder exists and that you may write to it.",
                      Icon::Error);
    return false;
  }
  platform_.message("Horray", "Settings successfully saved.", Icon::Information);
  state_.caption = captionFor(state_.datPath, platform_.separators());
  return true;
}

void FrmMain::cmdSave_Click() { savevfs(state_.datPath); }

void FrmMain::cmdSaveAs_Click() {
  state_.datPath.clear();
  savevfs(state_.datPath);
}

void FrmMain::cmdBuild_Click() {
  if (platform_.question("Hmm", "Save settings first?", Icon::Question) && !savevfs(state_.datPath))
    return;
  launchBuild();
}

void FrmMain::launchBuild() {
  try {
    platform_.startDetached(platform_.executablePath(), {"?" + state_.datPath});
  } catch (const Failure& failure) {
    platform_.message("Error", "The build could not be started: " + failure.description(),
                      Icon::Error);
    return;
  }
  platform_.message("yay", "Building complete", Icon::Information);
}

}  // namespace kelvane
