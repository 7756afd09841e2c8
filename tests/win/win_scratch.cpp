#include "tests/win/win_scratch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "tests/support/temp_folder.h"
#include "win/win_support.h"

namespace kelvane::testing {

using win::narrow;
using win::wide;

namespace {

void removeAll(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      // A link is left alone: Wine would remove what it leads to instead.
      if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        removeAll(child);
      else
        ::DeleteFileW(child.c_str());
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(path.c_str());
}

void listInto(const std::wstring& base, const std::wstring& relative,
              std::vector<std::string>& out) {
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileW((base + relative + L"*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    bool folder = found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    out.push_back(narrow(relative + name + (folder ? L"\\" : L"")));
    if (folder) listInto(base, relative + name + L"\\", out);
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
}

}  // namespace

std::string makeScratchFolder() {
  wchar_t exe[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring folder(exe, n);
  folder = folder.substr(0, folder.find_last_of(L'\\')) + L"\\test-scratch";
  ::CreateDirectoryW(folder.c_str(), nullptr);
  static int counter = 0;
  for (;;) {
    std::wstring candidate = folder + L"\\t" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                             std::to_wstring(++counter);
    if (::CreateDirectoryW(candidate.c_str(), nullptr)) return narrow(candidate);
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      ADD_FAILURE() << "cannot make a scratch folder in " << narrow(folder);
      return {};
    }
  }
}

void removeTree(const std::string& path) {
  if (path.empty()) return;
  removeAll(wide(path));
  // Wine removes what a Unix link leads to, not the link: the host removes what is left.
  if (pathExists(path)) runOnHost("rm -rf " + hostPath(path));
}

WinScratch::WinScratch() : path_(makeScratchFolder()) {}

WinScratch::~WinScratch() { removeTree(path_); }

void WinScratch::file(const std::string& relative, std::string_view bytes) const {
  size_t cut = relative.find_last_of('\\');
  if (cut != std::string::npos) folder(relative.substr(0, cut));
  writeBytes(*this / relative, bytes);
}

void WinScratch::folder(const std::string& relative) const { makeFolders(*this / relative); }

std::string WinScratch::read(const std::string& relative) const {
  return pathExists(*this / relative) ? readBytes(*this / relative) : "<missing>";
}

std::vector<std::string> WinScratch::tree(const std::string& relative) const {
  std::vector<std::string> out;
  listInto(wide(relative.empty() ? path_ : *this / relative) + L"\\", L"", out);
  std::sort(out.begin(), out.end());
  return out;
}

std::string hostPath(const std::string& windowsPath) {
  std::string out = windowsPath.size() > 2 && (windowsPath[0] == 'Z' || windowsPath[0] == 'z') &&
                            windowsPath[1] == ':'
                        ? windowsPath.substr(2)
                        : windowsPath;
  std::replace(out.begin(), out.end(), '\\', '/');
  return "'" + out + "'";
}

bool runOnHost(const std::string& command) {
  // Wine gives no handle to wait on for a Unix program: it says it is done by a file.
  static int counter = 0;
  std::string done = makeScratchFolder() + "\\done" + std::to_string(++counter);
  std::wstring line = wide("sh -c \"" + command + " && : > " + hostPath(done) + "\"");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started))
    return false;
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  bool ran = waitForFile(done, 10000);
  removeTree(done.substr(0, done.find_last_of('\\')));
  return ran;
}

std::string wineDrivePath(const std::string& unixPath) {
  std::string out = "Z:" + unixPath;
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

}  // namespace kelvane::testing
