#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_types.h"
#include "platform/platform.h"
#include "settings/app_state.h"

namespace kelvane {

inline constexpr const char* kSaveDialogTitle = "Open Varnholt settings file.";
inline constexpr const char* kSaveDialogFilter = "Dat files (*.dat)|*.dat";
// The extension the save dialog adds to a name typed without one: the first pattern's of a
// "description|pattern" filter ("dat" for "*.dat"), or "" when it names none.
std::string filterExtension(const std::string& filter);

// What both windows draw alike: the height of a box, the row and height of the buttons, and
// the tooltips of the link root box and the merge-source box.
inline constexpr int kBoxHeight = 19;
inline constexpr int kButtonY = 384;
inline constexpr int kButtonHeight = 25;
inline constexpr const char* kWhereCreateTip =
    "Physical location of the path where all the folders will be made.";
// The merge-source box's tooltip, and the help it shows while it is empty, with path
// examples of the system the window runs on ("\\" the separator on Windows, "/" on Linux).
std::string linesTip(char separator);
std::string mergeHelpText(char separator);

// The settings window's behaviour, apart from the widgets that show it: the view copies the
// boxes' texts into state().boxes before a handler runs and shows state() again after it.
class FrmMain {
 public:
  FrmMain(Platform& platform, AppState& state) : platform_(platform), state_(state) {}

  AppState& state() { return state_; }

  // Saves the boxes to the current file, asking for one when mpath is empty. False when a
  // box holds what the settings file cannot read back (refused before anything else), or a
  // character the file's code page cannot hold and the user does not want the whole file in
  // UTF-8, the current file changed on disk and the user keeps it, the user cancels the
  // dialog, or the file cannot be written; each is said in a message or question, and the
  // window keeps the file it had.
  bool savevfs(const std::string& mpath) { return save(mpath.empty()); }

  void cmdSave_Click();
  void cmdSaveAs_Click();
  void cmdBuild_Click();
  void cmdClose_Click() { closeRequested_ = true; }
  void imgIcon_Click() {}

  bool closeRequested() const { return closeRequested_; }

  // The view keeps watch on each build the window starts, without waiting for it: called
  // with the build as it starts. When the build's end handle is signalled, the view calls
  // buildEnded, once no other handler is running.
  std::function<void(WatchedProcess&)> watchBuild;
  // "Building complete" when the build ended with status 0. A failed build has asked its own
  // question about its report (status 1 and a new report) and the window adds nothing; any
  // other end is said, with what it means and what to do.
  void buildEnded(WatchedProcess& build);

 private:
  // savevfs, asking for a file when ask is set. Only a completed write changes the current
  // file; a refusal, a cancelled dialog or a failed write keeps the one the window had.
  bool save(bool ask);
  // The file's bytes for the box texts in the file's encoding, or nullopt when the user
  // keeps a code page that cannot hold them; utf8 tells which encoding was taken.
  std::optional<std::string> encoded(const std::string& text, bool& utf8);
  // True when path still holds what the window read or saved, or the user replaces it.
  bool mayOverwrite(const std::string& path);
  void launchBuild();
  // Where a build's error report may be written, each with the file there now; nullopt when
  // those places cannot be known.
  std::optional<std::vector<std::optional<FileIdentity>>> reportsNow();

  struct StartedBuild {
    std::unique_ptr<WatchedProcess> process;
    std::optional<std::vector<std::optional<FileIdentity>>> reports;  // when it started
    std::string path;                                                 // the settings file it builds
  };

  Platform& platform_;
  AppState& state_;
  bool closeRequested_ = false;
  std::vector<StartedBuild> builds_;  // started, not ended yet
};

}  // namespace kelvane
