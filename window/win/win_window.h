#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "platform/processes.h"
#include "settings/settings.h"

namespace kelvane {

class FrmMain;

// Resource ids of the executable.
inline constexpr int kIconResource = 1;

// frmMain as a Win32 window. Each button copies the boxes' texts into the form's state, runs
// the form's handler and shows the state (caption and boxes) again; the behaviour itself is
// FrmMain's. Controls sit at the same pixels as in the Linux window, relative to the client
// area, and have the dialog manager's keyboard handling (tab order, access keys). Enter and
// Escape press nothing anywhere (Enter starts a line in txtLines), and the focus goes back to
// the control that had it whenever the window is active again, as in a dialog.
//
// The window's life and messages are in win_window.cpp, its controls in
// win_window_controls.cpp, the keys and focus of each control in win_window_keys.cpp, and the
// boxes' texts in win_window_text.cpp.
class WinMainWindow {
 public:
  WinMainWindow(FrmMain& form, Messages& messages);
  ~WinMainWindow();
  WinMainWindow(const WinMainWindow&) = delete;
  WinMainWindow& operator=(const WinMainWindow&) = delete;

  // Shows the window centred on the work area and runs it until it closes.
  int run();
  HWND handle() const { return window_; }

 private:
  struct Box {
    HWND edit;
    std::string SettingsTexts::*text;
  };

  // Control ids: none is IDOK or IDCANCEL, so Enter and Escape press nothing.
  enum ControlId { kFirstBox = 100, kLines = 110, kIcon, kSave, kSaveAs, kBuild, kClose };
  // Posted by the system's wait thread when a watched build has ended.
  static constexpr UINT kBuildEnded = WM_APP + 1;

  // A build the window waits for on the system's thread pool, never blocking its own thread.
  struct BuildWatch {
    HWND window;  // taken when the watch starts: the wait thread reads nothing that changes
    WatchedProcess* build;
    HANDLE wait = nullptr;
  };

  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void run(void (FrmMain::*handler)());
  // Runs action between taking the boxes and showing the state again, then gives the focus
  // back; the ends of builds seen meanwhile are told after it.
  void act(const std::function<void()>& action);
  void watch(WatchedProcess& build);
  static void CALLBACK buildSignalled(void* watch, BOOLEAN timedOut);
  void buildEnded(BuildWatch* watch);
  void tellEndedBuilds();

  // win_window_controls.cpp
  void createControls();
  HWND addControl(const wchar_t* kind, const wchar_t* text, DWORD style, DWORD exStyle, int x,
                  int y, int width, int height, int id);
  HWND addBox(std::string SettingsTexts::*text, const std::string& hint, const std::string& tip,
              int x, int y, int width, int id);
  void keepBox(HWND edit, std::string SettingsTexts::*text);
  void addTip(HWND control, const std::string& text);

  // win_window_keys.cpp
  static LRESULT CALLBACK controlProcedure(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR id, DWORD_PTR self);
  void watchKeysAndFocus(HWND control);
  // Draws the merge-source box's hint over the empty box.
  void drawLinesHint(HWND control);
  void giveFocusBack();

  // win_window_text.cpp
  void takeBoxes();
  void showState();
  // A single-line box whose whole text fits is scrolled back to its start: the edit control
  // keeps its scroll position when text is taken away, so "755A7B" cut to "755" shows "55".
  void showStartWhenItFits(HWND edit);

  FrmMain& form_;
  Messages& messages_;
  HWND window_ = nullptr;
  HWND tips_ = nullptr;
  HFONT font_ = nullptr;
  HICON icon_ = nullptr;
  static constexpr int kLinesBox = 7;
  std::array<Box, 8> boxes_{};  // the seven line boxes, then txtLines
  std::wstring linesHint_;      // shown while txtLines is empty
  int boxCount_ = 0;
  HWND focus_ = nullptr;     // the control that had the focus last
  HWND keyFocus_ = nullptr;  // the control that had it when the key now handled was typed
  bool running_ = false;
  bool acting_ = false;
  std::vector<std::unique_ptr<BuildWatch>> watches_;
  std::vector<WatchedProcess*> ended_;  // builds whose end is not told yet
};

}  // namespace kelvane
