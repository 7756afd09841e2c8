// The boxes' texts between the edit controls and the form's texts, which are UTF-8 (the form
// reads and writes the file's encoding itself), and the edit control's line ends.

#include "win/win_support.h"
#include "window/frm_main.h"
#include "window/win/win_window.h"

namespace kelvane {

using namespace win;

namespace {

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

}  // namespace

void WinMainWindow::takeBoxes() {
  SettingsTexts& texts = form_.state().boxes;
  for (int i = 0; i < boxCount_; ++i) texts.*boxes_[i].text = narrow(textOf(boxes_[i].edit));
}

void WinMainWindow::showState() {
  ::SetWindowTextW(window_, wide(form_.state().caption).c_str());
  const SettingsTexts& texts = form_.state().boxes;
  for (int i = 0; i < boxCount_; ++i) {
    std::wstring shown = withEditLineEnds(wide(texts.*boxes_[i].text));
    if (textOf(boxes_[i].edit) != shown) ::SetWindowTextW(boxes_[i].edit, shown.c_str());
  }
}

void WinMainWindow::showStartWhenItFits(HWND edit) {
  // For a single-line box, the index of the first character shown.
  if (::SendMessageW(edit, EM_GETFIRSTVISIBLELINE, 0, 0) == 0) return;
  std::wstring text = textOf(edit);
  RECT shown{};
  ::SendMessageW(edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&shown));
  HDC dc = ::GetDC(edit);
  HGDIOBJ old = ::SelectObject(dc, font_);
  SIZE size{};
  ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  ::SelectObject(dc, old);
  ::ReleaseDC(edit, dc);
  if (size.cx >= shown.right - shown.left) return;
  DWORD start = 0, end = 0;
  ::SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  ::SendMessageW(edit, EM_SETSEL, 0, 0);
  ::SendMessageW(edit, EM_SCROLLCARET, 0, 0);
  ::SendMessageW(edit, EM_SETSEL, start, end);
}

}  // namespace kelvane
