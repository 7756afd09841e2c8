// Message boxes, questions and the save dialog: the system's own, or standard error and
// the windowless answers when nobody can see them.

#include <windows.h>
// After windows.h, which it needs.
#include <commdlg.h>

#include <iostream>
#include <vector>

#include "win/win_support.h"
#include "window/frm_main.h"
#include "window/win/win_messages.h"

namespace kelvane {

using namespace win;

namespace {

UINT iconStyle(Icon icon) {
  switch (icon) {
    case Icon::Error:
      return MB_ICONERROR;
    case Icon::Question:
      return MB_ICONQUESTION;
    case Icon::Information:
      break;
  }
  return MB_ICONINFORMATION;
}

void tellStandardError(const std::string& title, const std::string& text) {
  std::cerr << title << ": " << text << std::endl;
}

}  // namespace

bool hasInteractiveDesktop() {
  HWINSTA station = ::GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  return station &&
         ::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
         (flags.dwFlags & WSF_VISIBLE);
}

void WinMessages::warn(const std::string& text) { std::cerr << text << std::endl; }

void WinMessages::message(const std::string& title, const std::string& text, Icon icon) {
  if (!hasInteractiveDesktop()) return tellStandardError(title, text);
  ::MessageBoxW(::GetActiveWindow(), wide(text).c_str(), wide(title).c_str(),
                MB_OK | iconStyle(icon) | MB_SETFOREGROUND);
}

bool WinMessages::question(const std::string& title, const std::string& text, Icon icon) {
  if (!hasInteractiveDesktop()) {
    tellStandardError(title, text);
    return false;
  }
  return ::MessageBoxW(::GetActiveWindow(), wide(text).c_str(), wide(title).c_str(),
                       MB_YESNO | MB_DEFBUTTON1 | iconStyle(icon) | MB_SETFOREGROUND) == IDYES;
}

std::string WinMessages::saveDialog(const std::string& title, const std::string& filter,
                                    const std::string& initialFolder) {
  if (!hasInteractiveDesktop()) return {};
  // "description|pattern|..." as the dialog takes it: parts ended by NUL, the list by two.
  std::wstring filters = wide(filter);
  for (wchar_t& c : filters)
    if (c == L'|') c = L'\0';
  filters += std::wstring(2, L'\0');
  std::wstring caption = wide(title), folder = wide(initialFolder);
  std::wstring extension = wide(filterExtension(filter));
  std::vector<wchar_t> file(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = ::GetActiveWindow();
  dialog.lpstrFilter = filters.c_str();
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = folder.c_str();
  dialog.lpstrTitle = caption.c_str();
  dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
  // Replacing a file is asked about first, as on Linux.
  dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_OVERWRITEPROMPT;
  if (!::GetSaveFileNameW(&dialog)) return {};
  return narrow(file.data());
}

}  // namespace kelvane
