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
    case WM_NCDESTROY:
      ::RemoveWindowSubclass(control, controlProcedure, kSubclassId);
      break;
  }
  return ::DefSubclassProc(control, message, wParam, lParam);
}

void WinMainWindow::giveFocusBack() {
  if (boxCount_ == 0) return;  // still being made
  if (!focus_ || !::IsWindow(focus_) || ::GetParent(focus_) != window_) focus_ = boxes_[0].edit;
  if (::GetFocus() != focus_) ::SetFocus(focus_);
}

}  // namespace kelvane
