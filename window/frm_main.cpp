#include "window/frm_main.h"

#include "platform/failure.h"
#include "platform/platform.h"

namespace kelvane {

namespace {

// What a failed save leaves the window with, for the failure message.
std::string keptFile(const std::string& path) {
  if (path.empty()) return "The window still has no settings file: Save asks for one.";
  return "The window keeps its settings file \"" + path + "\".";
}

}  // namespace

bool FrmMain::save(bool ask) {
  // Checked before the dialog: a text the file cannot hold is never written anywhere.
  std::string bytes;
  try {
    bytes = formatSettings(state_.boxes);
  } catch (const Failure& refusal) {
    platform_.message("Notice",
                      "Settings not saved. " + refusal.description() + ".\r\nNothing was written.",
                      Icon::Error);
    return false;
  }
  const std::string kept = state_.datPath;
  std::string path = kept;
  if (ask) {
    state_.datPath.clear();
    path = platform_.saveDialog(kSaveDialogTitle, kSaveDialogFilter, platform_.programFolder());
    if (path.empty()) {
      platform_.message("Notice", "File not saved.  No output filename selected", Icon::Error);
      return false;
    }
  }
  try {
    platform_.writeFile(path, bytes);
  } catch (const Failure& failure) {
    state_.datPath = kept;
    platform_.message("Notice",
                      "Settings not saved: " + failure.description() +
                          "\r\nCheck that the folder exists and that you may write to it.\r\n" +
                          keptFile(kept),
                      Icon::Error);
    return false;
  }
  state_.datPath = path;
  platform_.message("Horray", "Settings successfully saved.", Icon::Information);
  state_.caption = captionFor(state_.datPath, platform_.separators());
  return true;
}

void FrmMain::cmdSave_Click() { savevfs(state_.datPath); }

void FrmMain::cmdSaveAs_Click() { save(true); }

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
