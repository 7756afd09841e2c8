// The test helpers of tests/support/temp_folder.h for Windows, so that the core's tests run
// there unchanged.

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/support/temp_folder.h"
#include "tests/win/win_scratch.h"
#include "win/win_support.h"

namespace kelvane::testing {

using win::wide;

TempFolder::TempFolder() : path_(makeScratchFolder()) {}

TempFolder::~TempFolder() { removeTree(path_); }

std::string systemErrorText(int err) { return win::errorText(static_cast<DWORD>(err)); }

void writeBytes(const std::string& path, std::string_view bytes) {
  HANDLE h = ::CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << "cannot write " << path;
  DWORD written = 0;
  ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(h);
}

std::string readBytes(const std::string& path) {
  // Read as a server reads its table: never in the way of a build that replaces it meanwhile.
  HANDLE h = ::CreateFileW(wide(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::string bytes;
  char buffer[4096];
  DWORD n = 0;
  while (::ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
  ::CloseHandle(h);
  return bytes;
}

void makeFolders(const std::string& path) {
  std::wstring full = wide(path);
  for (size_t at = full.find_first_of(L"\\/", 3); at != std::wstring::npos;
       at = full.find_first_of(L"\\/", at + 1))
    ::CreateDirectoryW(full.substr(0, at).c_str(), nullptr);
  ::CreateDirectoryW(full.c_str(), nullptr);
}

bool isFolder(const std::string& path) {
  DWORD attributes = ::GetFileAttributesW(wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool pathExists(const std::string& path) {
  return ::GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool waitForText(const std::string& path, const std::string& text, int timeoutMs) {
  for (int waited = 0;; waited += 20) {
    if (pathExists(path) && (text.empty() || readBytes(path).find(text) != std::string::npos))
      return true;
    if (waited > timeoutMs) return false;
    ::Sleep(20);
  }
}

bool waitForFile(const std::string& path, int timeoutMs) {
  return waitForText(path, "", timeoutMs);
}

}  // namespace kelvane::testing
