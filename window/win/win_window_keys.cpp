// The keys and the focus of the settings window's controls, where the dialog manager alone
// would do otherwise: Tab leaves txtLines, Escape never reaches a control, Enter presses no
// button, and the window remembers which control has the focus, to give it back.

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include "window/win/win_window.h"

namespace kelvane {

namespace {

constexpr UINT_PTR kSubclassId = 1;

}  // namespace

void WinMainWindow::watchKeysAndFocus(HWND control) {
  ::SetWindowSubclass(control, controlProcedure, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
}

LRESULT CALLBACK WinMainWindow::controlProcedure(HWND control, UINT message, WPARAM wParam,
                                                 LPARAM lParam, UINT_PTR, DWORD_PTR self) {
  switch (message) {
    case WM_SETFOCUS:
      reinterpret_cast<WinMainWindow*>(self)->focus_ = control;
      break;
    case WM_GETDLGCODE: {
      LRESULT result = ::DefSubclassProc(control, message, wParam, lParam);
      // The multi-line box wants every key, Tab and Escape too: those go to the dialog
      // manager instead, which moves on for Tab and sends Cancel, which nothing takes, for
      // Escape. (Given Escape, the box would close the window.)
      if (lParam) {
        auto* key = reinterpret_cast<const MSG*>(lParam);
        if (key->wParam == VK_TAB || key->wParam == VK_ESCAPE)
          result &= ~(DLGC_WANTALLKEYS | DLGC_WANTTAB | DLGC_WANTMESSAGE);
      }
      // No button is the default one, not even while it has the focus: Enter presses none.
      if (result & DLGC_DEFPUSHBUTTON)
        result = (result & ~DLGC_DEFPUSHBUTTON) | DLGC_UNDEFPUSHBUTTON;
      return result;
    }
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
      if (wParam == VK_ESCAPE) return 0;  // however it arrives
      break;
    case WM_PAINT: {
      // A multi-line edit control has no cue banner: its hint is drawn while it is empty,
      // in the colour of disabled text, and is never its text.
      auto* window = reinterpret_cast<WinMainWindow*>(self);
      if (control != window->boxes_[kLinesBox].edit || ::GetWindowTextLengthW(control) != 0) break;
      LRESULT result = ::DefSubclassProc(control, message, wParam, lParam);
      window->drawLinesHint(control);
      return result;
    }
    case WM_NCDESTROY:
      ::RemoveWindowSubclass(control, controlProcedure, kSubclassId);
      break;
  }
  return ::DefSubclassProc(control, message, wParam, lParam);
}

void WinMainWindow::drawLinesHint(HWND control) {
  RECT area{};
  ::SendMessageW(control, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&area));
  HDC dc = ::GetDC(control);
  HGDIOBJ old = ::SelectObject(dc, font_);
  ::SetTextColor(dc, ::GetSysColor(COLOR_GRAYTEXT));
  ::SetBkMode(dc, TRANSPARENT);
  ::DrawTextW(dc, linesHint_.c_str(), static_cast<int>(linesHint_.size()), &area,
              DT_LEFT | DT_TOP | DT_NOPREFIX | DT_EXPANDTABS);
  ::SelectObject(dc, old);
  ::ReleaseDC(control, dc);
}

void WinMainWindow::giveFocusBack() {
  if (boxCount_ == 0) return;  // still being made
  if (!focus_ || !::IsWindow(focus_) || ::GetParent(focus_) != window_) focus_ = boxes_[0].edit;
  if (::GetFocus() != focus_) ::SetFocus(focus_);
}

}  // namespace kelvane
