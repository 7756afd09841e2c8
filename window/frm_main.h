#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "settings/app_state.h"

namespace kelvane {

inline constexpr const char* kSaveDialogTitle = "Open Varnholt settings file.";
inline constexpr const char* kSaveDialogFilter = "Dat files (*.dat)|*.dat";

// What both windows draw alike: the height of a box, the row and height of the buttons, and
// the tooltips of the link root box and the merge-source box.
inline constexpr int kBoxHeight = 19;
inline constexpr int kButtonY = 384;
inline constexpr int kButtonHeight = 25;
inline constexpr const char* kWhereCreateTip =
    "Physical location of the path where all the folders will be made.";
inline constexpr const char* kLinesTip =
    "Put your folders to merge in format X:\\Folder\\|subfolder";

// The settings window's behaviour, apart from the widgets that show it: the view copies the
// boxes' texts into state().boxes before a handler runs and shows state() again after it.
class FrmMain {
 public:
  FrmMain(Platform& platform, AppState& state) : platform_(platform), state_(state) {}

  AppState& state() { return state_; }

  // Saves the boxes to the current file, asking for one when mpath is empty. False when a
  // box holds what the settings file cannot read back (refused before anything else), the
  // user cancels the dialog, or the file cannot be written; each is said in a message, and
  // the window keeps the file it had.
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
  // question about its report (status 1) and the window adds nothing; any other end is said.
  void buildEnded(WatchedProcess& build);

 private:
  // savevfs, asking for a file when ask is set. Only a completed write changes the current
  // file; a refusal, a cancelled dialog or a failed write keeps the one the window had.
  bool save(bool ask);
  void launchBuild();

  Platform& platform_;
  AppState& state_;
  bool closeRequested_ = false;
  std::vector<std::unique_ptr<WatchedProcess>> builds_;  // started, not ended yet
};

}  // namespace kelvane
