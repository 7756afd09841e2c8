#pragma once

// A person at the running Win32 window, for the window tests: the platform's side (what the
// window shows and asks) and the keyboard's and the eyes' side (steps taken at a timer).

#include <windows.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "win/win_file_system.h"
#include "win/win_processes.h"
#include "window/win/win_messages.h"

namespace kelvane {
class WinMainWindow;
}

namespace kelvane::testing {

// The Windows files with the person played by the test, as the person's messages and the
// builds the person watches. Every message, question and save dialog is recorded; with realBoxes
// they are the system's own, up until a step answers them, else questions and the dialog answer
// from the lists (No and cancel when empty). Builds are recorded and never started: each "ends"
// when the test sets buildEnd, with buildStatus.
class PersonPlatform : public WinMessages, public Processes {
 public:
  PersonPlatform();
  ~PersonPlatform() override;
  PersonPlatform(const PersonPlatform&) = delete;
  PersonPlatform& operator=(const PersonPlatform&) = delete;
  operator Platform&() { return platform_; }

  bool realBoxes = false;
  std::vector<std::string> shown;  // "title: text"; "dialog: title" for the save dialog
  std::vector<bool> answers;
  std::vector<std::string> saveChoices;
  std::vector<std::string> started;  // the argument text of each build
  HANDLE buildEnd;                   // an event, not set at first
  int buildStatus = 0;
  // Run as each message or question is shown, before it is answered: what a handler might do
  // meanwhile.
  std::function<void()> whileShown;

  void message(const std::string& title, const std::string& text, Icon icon) override;
  bool question(const std::string& title, const std::string& text, Icon icon) override;
  std::string saveDialog(const std::string& title, const std::string& filter,
                         const std::string& initialFolder) override;
  std::string textEditor() const override { return system_.textEditor(); }
  std::string programFolder() override { return system_.programFolder(); }
  std::string executablePath() override { return system_.executablePath(); }
  void startDetached(const std::string& program, const std::vector<std::string>& args) override;
  std::unique_ptr<WatchedProcess> startWatched(const std::string& program,
                                               const std::vector<std::string>& args) override;

 private:
  WinProcesses system_;
  WinFiles files_{*this};
  Platform platform_{files_, *this, *this};
};

// What a person does, one step at a timer tick while the window's message loop (or a box's
// or the dialog's) runs. A step returns true when it is done, false to be tried again at the
// next tick; steps only post and type, so that a box they open never blocks them.
using Step = std::function<bool()>;

// Runs the window through the steps and closes it after the last. A test fails when the
// window ends before the last step is done, or when a minute passes first (then every box is
// cancelled and the window closed, so that nothing hangs).
void drive(WinMainWindow& window, std::vector<Step> steps);

// A step that waits for ticks ticks and for the keys typed so far to be taken.
Step settle(int ticks = 3);

// Presses the keys together and lets them go in reverse order, as a chord.
void press(std::initializer_list<WORD> keys);
// Clicks a button the way its access key or a click ends: posted to its window.
void postClick(HWND window, HWND button);

// The visible dialog (a message box or the save dialog) of this thread with that title, or
// with any title when it is empty.
HWND shownDialog(const std::string& title);
// All the texts of a message box, its static texts joined by blanks.
std::string boxText(HWND box);
std::string textOf(HWND window);

// The window's controls with tab stops, in tab order.
std::vector<HWND> tabStops(HWND window);

}  // namespace kelvane::testing
