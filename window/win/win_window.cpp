// The settings window's life: its class and frame, the message loop, the messages it takes
// and the running of the form's handlers.

#include "window/win/win_window.h"

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <iostream>

#include "platform/messages.h"
#include "win/win_support.h"
#include "window/frm_main.h"
#include "window/win/win_messages.h"

namespace kelvane {

using namespace win;

namespace {

constexpr int kClientWidth = 347;
constexpr int kClientHeight = 433;
const wchar_t* const kClassName = L"KelvaneMain";

}  // namespace

WinMainWindow::WinMainWindow(FrmMain& form, Messages& messages) : form_(form), messages_(messages) {
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
  form_.watchBuild = [this](WatchedProcess& build) { watch(build); };
}

WinMainWindow::~WinMainWindow() {
  form_.watchBuild = nullptr;
  // Waits for a wait callback that is running, so that none posts for a window gone.
  for (auto& watch : watches_) ::UnregisterWaitEx(watch->wait, INVALID_HANDLE_VALUE);
  if (window_) ::DestroyWindow(window_);
  if (font_) ::DeleteObject(font_);
  if (icon_) ::DestroyIcon(icon_);
}

int WinMainWindow::run() {
  ::ShowWindow(window_, SW_SHOWNORMAL);
  ::SetFocus(boxes_[0].edit);
  running_ = true;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    // An access key makes the dialog manager move the focus to its button before it is
    // pressed: the handler gives the focus back to the control that had it at the key.
    bool key = message.message >= WM_KEYFIRST && message.message <= WM_KEYLAST;
    if (key) keyFocus_ = ::GetFocus();
    bool dialogs = ::IsDialogMessageW(window_, &message);
    if (key) keyFocus_ = nullptr;
    if (dialogs) continue;
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
      // The merge-source box's hint covers several lines: it goes, or comes back, whole.
      if (HIWORD(wParam) == EN_CHANGE && LOWORD(wParam) == kLines)
        ::InvalidateRect(reinterpret_cast<HWND>(lParam), nullptr, TRUE);
      if (HIWORD(wParam) == EN_CHANGE && LOWORD(wParam) >= kFirstBox && LOWORD(wParam) < kLines)
        showStartWhenItFits(reinterpret_cast<HWND>(lParam));
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
      return 0;  // IDOK and IDCANCEL, which Enter and Escape send, among them
    case DM_GETDEFID:
      return 0;  // no default button
    // Active again (after a message box, the save dialog, another program): the focus goes
    // back to the control that had it, where DefWindowProc would give it to the window.
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE || HIWORD(wParam)) break;  // leaving, or minimised
      giveFocusBack();
      return 0;
    case WM_SETFOCUS:
      giveFocusBack();
      return 0;
    case WM_SIZE:
      if (wParam == SIZE_RESTORED && ::GetActiveWindow() == window_ &&
          (::GetFocus() == window_ || !::GetFocus()))
        giveFocusBack();  // restored from the task bar
      break;
    case kBuildEnded:
      buildEnded(reinterpret_cast<BuildWatch*>(lParam));
      return 0;
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
  act([&form = form_, handler] { (form.*handler)(); });
}

void WinMainWindow::act(const std::function<void()>& action) {
  if (keyFocus_ && ::GetParent(keyFocus_) == window_) focus_ = keyFocus_;
  // The control the user was in: whatever the handler moves the focus to inside the window
  // meanwhile, typing goes on there afterwards.
  HWND had = focus_;
  takeBoxes();
  acting_ = true;
  try {
    action();
  } catch (const std::exception& e) {
    // Nothing a handler meets may take the window down with it.
    messages_.message("Error", std::string("An error has occured: ") + e.what(), Icon::Error);
  }
  acting_ = false;
  focus_ = had;
  if (!window_) return;
  showState();
  if (form_.closeRequested()) {
    ::DestroyWindow(window_);
    return;
  }
  // The handler's message boxes and dialog are gone: typing goes on where it was, even if
  // the system gave the activation elsewhere when the last of them closed.
  if (::IsWindowVisible(window_)) giveFocusBack();
  tellEndedBuilds();
}

void WinMainWindow::watch(WatchedProcess& build) {
  auto watch = std::make_unique<BuildWatch>(BuildWatch{window_, &build});
  if (!::RegisterWaitForSingleObject(&watch->wait, reinterpret_cast<HANDLE>(build.endHandle()),
                                     buildSignalled, watch.get(), INFINITE, WT_EXECUTEONLYONCE)) {
    messages_.message(
        "Error",
        "The build was started, but the window cannot tell when it ends: " +
            lastErrorFailure("Cannot wait for", "the build", "RegisterWaitForSingleObject")
                .description(),
        Icon::Error);
    return;
  }
  watches_.push_back(std::move(watch));
}

void CALLBACK WinMainWindow::buildSignalled(void* watch, BOOLEAN) {
  // On a thread of the system's pool: the window's own thread takes it from here.
  auto* w = static_cast<BuildWatch*>(watch);
  ::PostMessageW(w->window, kBuildEnded, 0, reinterpret_cast<LPARAM>(w));
}

void WinMainWindow::buildEnded(BuildWatch* watch) {
  auto found = std::find_if(watches_.begin(), watches_.end(),
                            [&](const auto& w) { return w.get() == watch; });
  if (found == watches_.end()) return;
  ::UnregisterWaitEx(watch->wait, INVALID_HANDLE_VALUE);  // its one callback has run
  ended_.push_back(watch->build);
  watches_.erase(found);
  // A build that ends while a message or the dialog is up is told once it is answered.
  if (!acting_) tellEndedBuilds();
}

void WinMainWindow::tellEndedBuilds() {
  std::vector<WatchedProcess*> ended;
  ended.swap(ended_);
  for (WatchedProcess* build : ended) act([&form = form_, build] { form.buildEnded(*build); });
}

int WinMessages::runWindow(FrmMain& form) {
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
