#include "win/win_temp_files.h"

// After windows.h, which it needs.
#include <bcrypt.h>

#include <cwchar>

#include "base/short_hash.h"
#include "win/win_nt.h"
#include "win/win_security.h"

namespace kelvane::win {

namespace {

const wchar_t* const kTempEnd = L".tmp";
const wchar_t* const kBackupEnd = L".old";

std::wstring unguessable() {
  unsigned char bytes[8];
  if (::BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    throw Failure(ERROR_GEN_FAILURE, "The system gave no random number for a temporary name",
                  "random");
  wchar_t text[17];
  for (int i = 0; i < 8; ++i) std::swprintf(text + 2 * i, 3, L"%02x", bytes[i]);
  return text;
}

bool endsWith(const std::wstring& text, const wchar_t* end) {
  size_t n = std::wcslen(end);
  return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

}  // namespace

std::wstring tempPrefix(const std::wstring& target) {
  std::wstring name = target.substr(target.find_last_of(L"\\/") + 1);
  ::CharLowerBuffW(name.data(), static_cast<DWORD>(name.size()));
  return L".kelvane-" + wide(shortHash(narrow(name))) + L"-";
}

Handle createUnguessable(const std::wstring& folder, const std::wstring& prefix, std::wstring& name,
                         const std::string& shown, PSECURITY_DESCRIPTOR security) {
  SECURITY_ATTRIBUTES given{sizeof given, security, FALSE};
  for (int attempt = 0;; ++attempt) {
    name = folder + prefix + unguessable() + kTempEnd;
    Handle h(::CreateFileW(longPath(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                           security ? &given : nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (h) return h;
    DWORD err = ::GetLastError();
    if ((err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) || attempt == 16)
      throw errorFailure(err, "Cannot create a temporary file for", shown, "open");
  }
}

std::wstring backupName(const std::wstring& folder, const std::wstring& prefix) {
  return folder + prefix + unguessable() + kBackupEnd;
}

void removeLeftovers(const std::wstring& folder, const std::wstring& prefix, bool tableThere,
                     Messages& warnings) {
  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileExW(longPath(folder + prefix + L"*").c_str(), FindExInfoBasic,
                                   &found, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = found.cFileName;
    bool backup = endsWith(name, kBackupEnd);
    if (name.rfind(prefix, 0) != 0 || (!backup && !endsWith(name, kTempEnd))) continue;
    if (backup && !tableThere) {
      warnings.warn("kelvane: \"" + narrow(folder + name) +
                    "\" may hold the old table of a replace that stopped halfway; it is kept");
      continue;
    }
    Handle h(::CreateFileW(longPath(folder + name).c_str(),
                           DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!h || !::GetFileInformationByHandle(h.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        !ownedByRunningAccount(h.get()))
      continue;
    // A leftover that will not go does no harm: the new table never takes its name.
    FILE_DISPOSITION_INFO disposition{TRUE};
    ::SetFileInformationByHandle(h.get(), FileDispositionInfo, &disposition, sizeof disposition);
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
}

}  // namespace kelvane::win
