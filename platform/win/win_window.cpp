#include "platform/win/win_window.h"

#include <commctrl.h>

#include <exception>
#include <iostream>

#include "platform/platform.h"
#include "platform/win/win_platform.h"
#include "platform/win/win_support.h"
#include "window/frm_main.h"

namespace kelvane {

using namespace win;

namespace {

constexpr int kClientWidth = 347;
constexpr int kClientHeight = 433;
constexpr int kFrameX = 8, kFrameY = 8;  // controls are placed relative to the frame
constexpr int kBoxHeight = 19;
constexpr int kButtonY = 384;
constexpr int kButtonHeight = 25;
const wchar_t* const kClassName = L"KelvaneMain";

// Control ids: none is IDOK or IDCANCEL, so Enter and Escape press nothing.
enum ControlId { kFirstBox = 100, kLines = 110, kIcon, kSave, kSaveAs, kBuild, kClose };

const char* const kWhereCreateTip =
    "Physical location of the path where all the folders will be made.";
const char* const kLinesTip = "Put your folders to merge in format X:\\Folder\\|subfolder";

// Text from a file shown as UTF-8 when it is valid UTF-8, else in the ANSI code page, and
// taken back in the same encoding when it still fits, so a file saved again is unchanged.
std::string bytesOf(const std::wstring& text, bool ansi) {
  if (ansi && !text.empty()) {
    BOOL lossy = FALSE;
    int size = static_cast<int>(text.size());
    int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), size, nullptr, 0,
                                  nullptr, &lossy);
    if (!lossy) {
      std::string out(static_cast<size_t>(n), '\0');
      ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), size, out.data(), n, nullptr,
                            nullptr);
      return out;
    }
  }
  return narrow(text);
}

// The edit control breaks lines only at CR LF.
std::wstring withEditLineEnds(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
      out += L"\r\n";
      ++i;
    } else if (c == L'\r' || c == L'\n') {
      out += L"\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::wstring textOf(HWND control) {
  std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(::GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return text;
}

// Tab leaves txtLines rather than typing a tab into it.
LRESULT CALLBACK linesProcedure(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                DWORD_PTR) {
  LRESULT result = ::DefSubclassProc(edit, message, wParam, lParam);
  if (message == WM_GETDLGCODE && lParam) {
    auto* key = reinterpret_cast<const MSG*>(lParam);
    if (key->wParam == VK_TAB) result &= ~(DLGC_WANTALLKEYS | DLGC_WANTTAB | DLGC_WANTMESSAGE);
  }
  return result;
}

HFONT dialogFont() {
  LOGFONTW font{};
  font.lfHeight = -11;
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  wcscpy(font.lfFaceName, L"MS Shell Dlg");
  return ::CreateFontIndirectW(&font);
}

}  // namespace

WinMainWindow::WinMainWindow(FrmMain& form, Platform& platform) : form_(form), platform_(platform) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&controls);
  icon_ = static_cast<HICON>(
      ::LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, 32, 32, 0));
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = instance;
  windowClass.hIcon = icon_;
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kClassName;
  ::RegisterClassExW(&windowClass);
  font_ = dialogFont();

  // Fixed size: a caption, a system menu and a minimise box, no sizing border.
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  ::AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
  int width = frame.right - frame.left, height = frame.bottom - frame.top;
  RECT area;
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  int x = area.left + (area.right - area.left - width) / 2;
  int y = area.top + (area.bottom - area.top - height) / 2;
  window_ = ::CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"", style, x, y, width, height,
                              nullptr, nullptr, instance, this);
  if (!window_)
    throw lastErrorFailure("Cannot open the settings window", "frmMain", "CreateWindowExW");
  createControls();
  showState();
}

WinMainWindow::~WinMainWindow() {
  if (window_) ::DestroyWindow(window_);
  if (font_) ::DeleteObject(font_);
  if (icon_) ::DestroyIcon(icon_);
}

HWND WinMainWindow::addControl(const wchar_t* kind, const wchar_t* text, DWORD style, DWORD exStyle,
                               int x, int y, int width, int height, int id) {
  HWND control = ::CreateWindowExW(exStyle, kind, text, WS_CHILD | WS_VISIBLE | style, kFrameX + x,
                                   kFrameY + y, width, height, window_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   ::GetModuleHandleW(nullptr), nullptr);
  ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  return control;
}

HWND WinMainWindow::addBox(std::string SettingsTexts::*text, const std::string& tip, int x, int y,
                           int width, int id) {
  HWND edit = addControl(WC_EDITW, L"", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, x, y, width,
                         kBoxHeight, id);
  addTip(edit, tip);
  keepBox(edit, text);
  return edit;
}

void WinMainWindow::keepBox(HWND edit, std::string SettingsTexts::*text) {
  // A value from a file is shown and saved whole, however long.
  ::SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
  boxes_[boxCount_++] = {edit, text, false};
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
  tips_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_,
                            nullptr, ::GetModuleHandleW(nullptr), nullptr);
  // Children are made in tab order: the dialog manager tabs through them as they were made.
  addControl(WC_BUTTONW, L"Setup", BS_GROUPBOX, 0, 0, 0, 329, 417, 0);
  const SettingsTexts initial = initialBoxTexts();
  addBox(&SettingsTexts::WhereCreate, kWhereCreateTip, 8, 16, 313, kFirstBox);
  addBox(&SettingsTexts::VFS, initial.VFS, 8, 40, 313, kFirstBox + 1);
  addBox(&SettingsTexts::VFSold, initial.VFSold, 8, 64, 313, kFirstBox + 2);
  addBox(&SettingsTexts::VirtualR, initial.VirtualR, 8, 88, 313, kFirstBox + 3);
  addBox(&SettingsTexts::OwnU, initial.OwnU, 120, 112, 65, kFirstBox + 4);
  addBox(&SettingsTexts::OwnG, initial.OwnG, 192, 112, 73, kFirstBox + 5);
  addBox(&SettingsTexts::CHMOD, initial.CHMOD, 272, 112, 49, kFirstBox + 6);
  // A one-pixel line from (16, 136) to (304, 136), both ends included.
  addControl(WC_STATICW, L"", SS_BLACKRECT, 0, 16, 136, 304 - 16 + 1, 1, 0);
  HWND lines = addControl(WC_EDITW, L"",
                          WS_TABSTOP | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL |
                              ES_AUTOVSCROLL | ES_WANTRETURN,
                          WS_EX_CLIENTEDGE, 8, 144, 313, 233, kLines);
  ::SetWindowSubclass(lines, linesProcedure, 1, 0);
  addTip(lines, kLinesTip);
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

int WinMainWindow::run() {
  ::ShowWindow(window_, SW_SHOWNORMAL);
  ::SetFocus(boxes_[0].edit);
  running_ = true;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (::IsDialogMessageW(window_, &message)) continue;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  running_ = false;
  return 0;
}

LRESULT CALLBACK WinMainWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<WinMainWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self && self->window_ == window) return self->handle(message, wParam, lParam);
  return ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT WinMainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kSave:
          run(&FrmMain::cmdSave_Click);
          return 0;
        case kSaveAs:
          run(&FrmMain::cmdSaveAs_Click);
          return 0;
        case kBuild:
          run(&FrmMain::cmdBuild_Click);
          return 0;
        case kClose:
          run(&FrmMain::cmdClose_Click);
          return 0;
        case kIcon:
          if (HIWORD(wParam) == STN_CLICKED) run(&FrmMain::imgIcon_Click);
          return 0;
      }
      return 0;
    case DM_GETDEFID:
      return 0;  // no default button
    case WM_CLOSE:
      ::DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      window_ = nullptr;
      // Only a running window ends the message loop; one destroyed unshown leaves none behind.
      if (running_) ::PostQuitMessage(0);
      return 0;
  }
  return ::DefWindowProcW(window_, message, wParam, lParam);
}

void WinMainWindow::run(void (FrmMain::*handler)()) {
  takeBoxes();
  try {
    (form_.*handler)();
  } catch (const std::exception& e) {
    // Nothing a handler meets may take the window down with it.
    platform_.message("Error", std::string("An error has occured: ") + e.what(), Icon::Error);
  }
  if (!window_) return;
  showState();
  if (form_.closeRequested()) ::DestroyWindow(window_);
}

void WinMainWindow::takeBoxes() {
  SettingsTexts& texts = form_.state().boxes;
  for (int i = 0; i < boxCount_; ++i)
    texts.*boxes_[i].text = bytesOf(textOf(boxes_[i].edit), boxes_[i].ansi);
}

void WinMainWindow::showState() {
  ::SetWindowTextW(window_, wide(form_.state().caption).c_str());
  const SettingsTexts& texts = form_.state().boxes;
  for (int i = 0; i < boxCount_; ++i) {
    const std::string& bytes = texts.*boxes_[i].text;
    boxes_[i].ansi = !isUtf8(bytes);
    std::wstring shown = withEditLineEnds(wide(bytes));
    if (textOf(boxes_[i].edit) != shown) ::SetWindowTextW(boxes_[i].edit, shown.c_str());
  }
}

int WinPlatform::runWindow(FrmMain& form) {
  if (!hasInteractiveDesktop()) {
    std::cerr << "kelvane: cannot open the settings window: no interactive desktop "
                 "(run a build with kelvane ?settings.dat)"
              << std::endl;
    return 2;
  }
  WinMainWindow window(form, *this);
  return window.run();
}

}  // namespace kelvane
