// Where a report may be written, and a file put in place whole as a new file, never through
// a link planted at its name.

#include <algorithm>
#include <vector>

#include "win/win_file_system.h"
#include "win/win_support.h"

namespace kelvane {

using namespace win;

namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Names compare as the system compares them: without regard to case.
bool sameText(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The absolute form of path, without separators after it (but at a root).
std::wstring fullPath(const std::wstring& path) {
  DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring out(n, L'\0');
  out.resize(::GetFullPathNameW(path.c_str(), n, out.data(), nullptr));
  while (out.size() > rootOf(out).size() && isSeparator(out.back())) out.pop_back();
  return out;
}

// A folder as written and, when it can be opened, as the system resolves it, so that a
// junction or a second name of a system folder is found below it too.
std::vector<std::wstring> formsOf(const std::wstring& path) {
  std::vector<std::wstring> forms{fullPath(path)};
  Handle h = openForLooking(path, true);
  if (h) {
    try {
      forms.push_back(fullPath(finalPath(h.get(), narrow(path), "list folder")));
    } catch (const Failure&) {
      // The text form is still compared.
    }
  }
  return forms;
}

bool within(const std::wstring& path, const std::wstring& base) {
  if (base.empty() || path.size() < base.size() ||
      !sameText(std::wstring_view(path).substr(0, base.size()), base))
    return false;
  return path.size() == base.size() || isSeparator(path[base.size()]) || isSeparator(base.back());
}

std::wstring variable(const wchar_t* name) {
  DWORD n = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  value.resize(::GetEnvironmentVariableW(name, value.data(), n));
  return value;
}

bool belowSystemFolder(const std::wstring& folder) {
  std::vector<std::wstring> forms = formsOf(folder);
  for (const wchar_t* name : {L"ProgramFiles", L"ProgramFiles(x86)", L"SystemRoot"}) {
    std::wstring base = variable(name);
    if (base.empty()) continue;
    for (const std::wstring& system : formsOf(base))
      for (const std::wstring& form : forms)
        if (within(form, system)) return true;
  }
  return false;
}

std::wstring nameOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

}  // namespace

bool WinFiles::isSystemProgramFolder(const std::string& folder,
                                     const std::string& runningExecutable) {
  const char* source = "list folder";
  std::wstring path = widePath(folder, source);
  if (folder.empty() || !belowSystemFolder(path)) return false;
  std::wstring executable = wide(runningExecutable);
  bool here = sameText(fullPath(parentText(executable)), fullPath(path));
  std::wstring own = here ? nameOf(executable) : std::wstring();

  WIN32_FIND_DATAW found;
  HANDLE find = ::FindFirstFileExW((fullPath(path) + L"\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND) return false;
    throw errorFailure(err, "Cannot list folder", folder, source);
  }
  bool other = false;
  do {
    std::wstring name = found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (name.size() > 4 && sameText(std::wstring_view(name).substr(name.size() - 4), L".exe") &&
        !sameText(name, own))
      other = true;
  } while (!other && ::FindNextFileW(find, &found));
  ::FindClose(find);
  return other;
}

void WinFiles::writeNewFile(const std::string& path, std::string_view bytes) {
  const char* source = "open";
  std::wstring target = widePath(path, source);
  size_t cut = target.find_last_of(L"\\/");
  if (target.empty() || isSeparator(target.back()))
    throw Failure(ERROR_DIRECTORY, "Cannot create file \"" + path + "\": it names a folder",
                  source);
  std::wstring folder = cut == std::wstring::npos ? std::wstring() : target.substr(0, cut + 1);

  // A name no file has yet, opened as it stands (a reparse point there is not followed).
  std::wstring temp;
  Handle h;
  for (int attempt = 0; !h; ++attempt) {
    temp = folder + L"~kelvane-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(attempt) + L".new";
    h = Handle(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD err = ::GetLastError();
    if (!h && ((err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) || attempt == 99))
      throw errorFailure(err, "Cannot create file", path, source);
  }
  try {
    writeAll(h.get(), bytes, path);
    if (!::FlushFileBuffers(h.get())) throw lastErrorFailure("Cannot write file", path, "write");
    h = Handle();
    // Replaces a link at the name itself; a folder there refuses it.
    if (!::MoveFileExW(temp.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      throw lastErrorFailure("Cannot replace file", path, "rename");
  } catch (...) {
    h = Handle();
    ::DeleteFileW(temp.c_str());
    throw;
  }
}

}  // namespace kelvane
