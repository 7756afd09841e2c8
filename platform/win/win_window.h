#pragma once

#include <windows.h>

#include <array>
#include <string>

#include "settings/settings.h"

namespace kelvane {

class FrmMain;
class Platform;

// Resource ids of the executable.
inline constexpr int kIconResource = 1;

// frmMain as a Win32 window. Each button copies the boxes' texts into the form's state, runs
// the form's handler and shows the state (caption and boxes) again; the behaviour itself is
// FrmMain's. Controls sit at the same pixels as in the Linux window, relative to the client
// area, and have the dialog manager's keyboard handling (tab order, access keys).
class WinMainWindow {
 public:
  WinMainWindow(FrmMain& form, Platform& platform);
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
    bool ansi;
  };

  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void createControls();
  HWND addControl(const wchar_t* kind, const wchar_t* text, DWORD style, DWORD exStyle, int x,
                  int y, int width, int height, int id);
  HWND addBox(std::string SettingsTexts::*text, const std::string& tip, int x, int y, int width,
              int id);
  void keepBox(HWND edit, std::string SettingsTexts::*text);
  void addTip(HWND control, const std::string& text);
  void run(void (FrmMain::*handler)());
  void takeBoxes();
  void showState();

  FrmMain& form_;
  Platform& platform_;
  HWND window_ = nullptr;
  HWND tips_ = nullptr;
  HFONT font_ = nullptr;
  HICON icon_ = nullptr;
  std::array<Box, 8> boxes_{};  // the seven line boxes, then txtLines
  int boxCount_ = 0;
  bool running_ = false;
};

}  // namespace kelvane
