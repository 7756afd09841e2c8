#include "window/frm_main.h"

#include "base/failure.h"
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
    platform_.messages.message(
        "Notice", "Settings not saved. " + refusal.description() + ".\r\nNothing was written.",
        Icon::Error);
    return false;
  }
  const std::string kept = state_.datPath;
  std::string path = kept;
  if (ask) {
    path = platform_.messages.saveDialog(kSaveDialogTitle, kSaveDialogFilter,
                                         platform_.processes.programFolder());
    if (path.empty()) {
      platform_.messages.message("Notice", "File not saved.  No output filename selected",
                                 Icon::Error);
      return false;
    }
  }
  try {
    platform_.files.writeFile(path, bytes);
  } catch (const Failure& failure) {
    platform_.messages.message(
        "Notice",
        "Settings not saved: " + failure.description() +
            "\r\nCheck that the folder exists and that you may write to it.\r\n" + keptFile(kept),
        Icon::Error);
    return false;
  }
  state_.datPath = path;
  platform_.messages.message("Horray", "Settings successfully saved.", Icon::Information);
  state_.caption = captionFor(state_.datPath, platform_.files.separators());
  return true;
}

void FrmMain::cmdSave_Click() { savevfs(state_.datPath); }

void FrmMain::cmdSaveAs_Click() { save(true); }

void FrmMain::cmdBuild_Click() {
  if (platform_.messages.question("Hmm", "Save settings first?", Icon::Question) &&
      !savevfs(state_.datPath))
    return;
  launchBuild();
}

void FrmMain::launchBuild() {
  // A build of no file would only report that it found none.
  if (state_.datPath.empty()) {
    platform_.messages.message("Notice",
                               "No build started: the window has no settings file yet.\r\nSave the "
                               "settings first (Save Settings), then build.",
                               Icon::Error);
    return;
  }
  try {
    builds_.push_back(platform_.processes.startWatched(platform_.processes.executablePath(),
                                                       {"?" + state_.datPath}));
  } catch (const Failure& failure) {
    platform_.messages.message("Error", "The build could not be started: " + failure.description(),
                               Icon::Error);
    return;
  }
  if (watchBuild) watchBuild(*builds_.back());
}

void FrmMain::buildEnded(WatchedProcess& build) {
  std::optional<int> status = build.exitStatus();
  if (!status) return;  // still running: it is watched no more, and says nothing
  std::erase_if(builds_, [&](const auto& started) { return started.get() == &build; });
  if (*status == 0) {
    platform_.messages.message("yay", "Building complete", Icon::Information);
  } else if (*status != 1) {
    platform_.messages.message("Error",
                               "A build ended with status " + std::to_string(*status) +
                                   " before it completed: it did not say why.",
                               Icon::Error);
  }
}

}  // namespace kelvane
