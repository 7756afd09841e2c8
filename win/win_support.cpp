#include "win/win_support.h"

#include <algorithm>
#include <vector>

#include "win/win_file_system.h"

namespace kelvane::win {

std::wstring wide(std::string_view bytes) {
  if (bytes.empty()) return {};
  UINT page = isUtf8(bytes) ? CP_UTF8 : CP_ACP;
  int size = static_cast<int>(bytes.size());
  int n = ::MultiByteToWideChar(page, 0, bytes.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(page, 0, bytes.data(), size, out.data(), n);
  return out;
}

std::wstring widePath(const std::string& path, const char* source) {
  if (path.find('\0') != std::string::npos)
    throw Failure(ERROR_INVALID_NAME, "The path \"" + path + "\" holds a NUL character", source);
  return wide(path);
}

std::string narrow(std::wstring_view text) {
  if (text.empty()) return {};
  int size = static_cast<int>(text.size());
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace kelvane::win

namespace kelvane {

std::string WinFiles::codePageName() const { return "code page " + std::to_string(::GetACP()); }

std::string WinFiles::fromLocalText(const std::string& bytes) const {
  if (bytes.empty()) return {};
  int size = static_cast<int>(bytes.size());
  int n = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
  std::wstring text(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, text.data(), n);
  return win::narrow(text);
}

std::optional<std::string> WinFiles::toLocalText(const std::string& text) const {
  if (::GetACP() == CP_UTF8) return text;
  std::wstring wideText = win::wide(text);
  if (wideText.empty()) return std::string();
  // No best fit: a character the code page lacks must not turn into a look-alike ("ł"
  // written as "l" would name another folder).
  int size = static_cast<int>(wideText.size());
  BOOL lacking = FALSE;
  int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wideText.data(), size, nullptr, 0,
                                nullptr, &lacking);
  if (n <= 0 || lacking) return std::nullopt;
  std::string bytes(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wideText.data(), size, bytes.data(), n,
                        nullptr, nullptr);
  return bytes;
}

}  // namespace kelvane

namespace kelvane::win {

std::string errorText(DWORD err) {
  wchar_t* buffer = nullptr;
  DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n ? std::wstring(buffer, n) : L"System error " + std::to_wstring(err);
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  return narrow(text);
}

Failure errorFailure(DWORD err, const std::string& what, const std::string& path,
                     const std::string& source) {
  return Failure(static_cast<int>(err), what + " \"" + path + "\": " + errorText(err), source);
}

Failure lastErrorFailure(const std::string& what, const std::string& path,
                         const std::string& source) {
  return errorFailure(::GetLastError(), what, path, source);
}

HandleInfo infoOf(HANDLE h, const std::string& path, const char* source) {
  HandleInfo out{};
  if (!::GetFileInformationByHandle(h, &out.info))
    throw lastErrorFailure("Cannot look at", path, source);
  return out;
}

std::wstring finalPath(HANDLE h, const std::string& path, const char* source) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD n = ::GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) throw lastErrorFailure("Cannot resolve", path, source);
    if (n < buffer.size()) {
      std::wstring out(buffer.data(), n);
      if (out.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + out.substr(8);
      if (out.rfind(L"\\\\?\\", 0) == 0) return out.substr(4);
      return out;
    }
    buffer.resize(n + 1);
  }
}

std::wstring fullPathOf(const std::wstring& path, const std::string& shown, const char* source) {
  DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) throw lastErrorFailure("Cannot resolve", shown, source);
  std::wstring out(n, L'\0');
  n = ::GetFullPathNameW(path.c_str(), n, out.data(), nullptr);
  out.resize(n);
  return out;
}

std::wstring rootOf(const std::wstring& resolved) {
  if (resolved.rfind(L"\\\\", 0) == 0) {
    // \\server\share\ : the fourth separator ends the root.
    size_t share = resolved.find(L'\\', 2);
    if (share == std::wstring::npos) return resolved + L"\\";
    size_t end = resolved.find(L'\\', share + 1);
    return end == std::wstring::npos ? resolved + L"\\" : resolved.substr(0, end + 1);
  }
  return resolved.substr(0, 3);
}

FileIdentity identityOf(const HandleInfo& handle) {
  const BY_HANDLE_FILE_INFORMATION& info = handle.info;
  return {info.dwVolumeSerialNumber,
          (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::wstring parentText(const std::wstring& path) {
  std::wstring root = rootOf(path);
  if (path.size() <= root.size()) return {};
  size_t end = path.size();
  while (end > root.size() && (path[end - 1] == L'\\' || path[end - 1] == L'/')) --end;
  size_t cut = path.find_last_of(L"\\/", end - 1);
  if (cut == std::wstring::npos || cut < root.size()) return root;
  return path.substr(0, cut);
}

std::vector<FileIdentity> folderChain(std::wstring folder, const std::string& shown,
                                      const char* source) {
  std::vector<FileIdentity> chain;
  for (; !folder.empty(); folder = parentText(folder)) {
    Handle h = openForLooking(folder, true);
    if (!h) throw lastErrorFailure("Cannot look at", narrow(folder), source);
    chain.push_back(identityOf(infoOf(h.get(), shown, source)));
  }
  return chain;
}

Handle openForLooking(const std::wstring& path, bool follow) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return Handle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, flags, nullptr));
}

void writeAll(HANDLE h, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(h, bytes.data(), want, &n, nullptr))
      throw lastErrorFailure("Cannot write file", path, "write");
    bytes.remove_prefix(n);
  }
}

}  // namespace kelvane::win
