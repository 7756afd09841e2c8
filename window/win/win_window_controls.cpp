// The settings window's controls: where each sits, its text, tooltip and font, in tab order.

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include "settings/app_state.h"
#include "win/win_support.h"
#include "window/frm_main.h"
#include "window/win/win_window.h"

namespace kelvane {

using namespace win;

namespace {

constexpr int kFrameX = 8, kFrameY = 8;  // controls are placed relative to the frame

HFONT dialogFont() {
  LOGFONTW font{};
  font.lfHeight = -11;
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  wcscpy(font.lfFaceName, L"MS Shell Dlg");
  return ::CreateFontIndirectW(&font);
}

}  // namespace

HWND WinMainWindow::addControl(const wchar_t* kind, const wchar_t* text, DWORD style, DWORD exStyle,
                               int x, int y, int width, int height, int id) {
  HWND control = ::CreateWindowExW(exStyle, kind, text, WS_CHILD | WS_VISIBLE | style, kFrameX + x,
                                   kFrameY + y, width, height, window_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   ::GetModuleHandleW(nullptr), nullptr);
  ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  if (style & WS_TABSTOP) watchKeysAndFocus(control);
  return control;
}

HWND WinMainWindow::addBox(std::string SettingsTexts::*text, const std::string& hint,
                           const std::string& tip, int x, int y, int width, int id) {
  HWND edit = addControl(WC_EDITW, L"", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, x, y, width,
                         kBoxHeight, id);
  // The hint shows while the box is empty, focused or not, and is never its text.
  std::wstring cue = wide(hint);
  ::SendMessageW(edit, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(cue.c_str()));
  addTip(edit, tip);
  keepBox(edit, text);
  return edit;
}

void WinMainWindow::keepBox(HWND edit, std::string SettingsTexts::*text) {
  // A value from a file is shown and saved whole, however long.
  ::SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
  boxes_[boxCount_++] = {edit, text};
}

void WinMainWindow::addTip(HWND control, const std::string& text) {
  std::wstring shown = wide(text);
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = window_;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = shown.data();
  ::SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void WinMainWindow::createControls() {
  font_ = dialogFont();
  tips_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_,
                            nullptr, ::GetModuleHandleW(nullptr), nullptr);
  // Children are made in tab order: the dialog manager tabs through them as they were made.
  addControl(WC_BUTTONW, L"Setup", BS_GROUPBOX, 0, 0, 0, 329, 417, 0);
  const SettingsTexts hint = initialBoxTexts();
  addBox(&SettingsTexts::WhereCreate, hint.WhereCreate, kWhereCreateTip, 8, 16, 313, kFirstBox);
  addBox(&SettingsTexts::VFS, hint.VFS, hint.VFS, 8, 40, 313, kFirstBox + 1);
  addBox(&SettingsTexts::VFSold, hint.VFSold, hint.VFSold, 8, 64, 313, kFirstBox + 2);
  addBox(&SettingsTexts::VirtualR, hint.VirtualR, hint.VirtualR, 8, 88, 313, kFirstBox + 3);
  addBox(&SettingsTexts::OwnU, hint.OwnU, hint.OwnU, 120, 112, 65, kFirstBox + 4);
  addBox(&SettingsTexts::OwnG, hint.OwnG, hint.OwnG, 192, 112, 73, kFirstBox + 5);
  addBox(&SettingsTexts::CHMOD, hint.CHMOD, hint.CHMOD, 272, 112, 49, kFirstBox + 6);
  // A one-pixel line from (16, 136) to (304, 136), both ends included.
  addControl(WC_STATICW, L"", SS_BLACKRECT, 0, 16, 136, 304 - 16 + 1, 1, 0);
  HWND lines = addControl(WC_EDITW, L"",
                          WS_TABSTOP | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL |
                              ES_AUTOVSCROLL | ES_WANTRETURN,
                          WS_EX_CLIENTEDGE, 8, 144, 313, 233, kLines);
  addTip(lines, linesTip('\\'));
  linesHint_ = wide(mergeHelpText('\\'));
  keepBox(lines, &SettingsTexts::Lines);
  HWND image = addControl(WC_STATICW, L"", SS_ICON | SS_NOTIFY, 0, 5, 377, 32, 32, kIcon);
  ::SendMessageW(image, STM_SETICON, reinterpret_cast<WPARAM>(icon_), 0);
  // Buttons in tab order, "&as" last although it sits second; none is a default button.
  addControl(WC_BUTTONW, L"&Save Settings", WS_TABSTOP | BS_PUSHBUTTON, 0, 40, kButtonY, 89,
             kButtonHeight, kSave);
  addControl(WC_BUTTONW, L"&Build VFS now!", WS_TABSTOP | BS_PUSHBUTTON, 0, 160, kButtonY, 97,
             kButtonHeight, kBuild);
  addControl(WC_BUTTONW, L"&Close", WS_TABSTOP | BS_PUSHBUTTON, 0, 256, kButtonY, 65, kButtonHeight,
             kClose);
  addControl(WC_BUTTONW, L"&as", WS_TABSTOP | BS_PUSHBUTTON, 0, 128, kButtonY, 33, kButtonHeight,
             kSaveAs);
}

}  // namespace kelvane
