#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "base/utf8.h"
#include "platform/platform.h"

namespace kelvane::win {

// A handle closed when it goes out of scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  Handle& operator=(Handle&& other) noexcept {
    std::swap(h_, other.h_);
    return *this;
  }
  ~Handle() {
    if (h_) ::CloseHandle(h_);
  }
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HANDLE h_ = nullptr;
};

// The program keeps names, paths and file texts as bytes; the system takes UTF-16. Bytes
// are read as UTF-8 when they are valid UTF-8 (isUtf8), else in the ANSI code page, so that
// a settings file written by an older Windows tool keeps its accented names.
std::wstring wide(std::string_view bytes);
// A path for the system; one holding a NUL byte fails rather than being cut short.
std::wstring widePath(const std::string& path, const char* source);
// Names and paths from the system come back to the program as UTF-8.
std::string narrow(std::wstring_view text);

// The system's own text for an error number, without its line break.
std::string errorText(DWORD err);
Failure errorFailure(DWORD err, const std::string& what, const std::string& path,
                     const std::string& source);
// The same for the error the last failed call left.
Failure lastErrorFailure(const std::string& what, const std::string& path,
                         const std::string& source);

// What a file handle leads to: its volume and file index.
struct HandleInfo {
  BY_HANDLE_FILE_INFORMATION info;
  bool isFolder() const { return info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY; }
  bool isReparse() const { return info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT; }
};
HandleInfo infoOf(HANDLE h, const std::string& path, const char* source);

// The fully resolved path of an open handle, without the "\\?\" prefix ("\\?\UNC\s\x"
// gives "\\s\x").
std::wstring finalPath(HANDLE h, const std::string& path, const char* source);

FileIdentity identityOf(const HandleInfo& handle);

// The absolute form of path, as the system makes it ("." and ".." folded, "/" made "\\").
std::wstring fullPathOf(const std::wstring& path, const std::string& shown, const char* source);

// The root a resolved path starts with: "C:\" or "\\server\share\".
std::wstring rootOf(const std::wstring& resolved);
// path without its last part; empty when path is a root already.
std::wstring parentText(const std::wstring& path);
// The identities of the resolved folder and of every folder holding it, up to its root.
std::vector<FileIdentity> folderChain(std::wstring folder, const std::string& shown,
                                      const char* source);

// Opens what path leads to (following links when follow), for looking at only.
Handle openForLooking(const std::wstring& path, bool follow);

// Writes all of bytes to h, a gigabyte at most to each WriteFile call, whose size is 32 bits.
void writeAll(HANDLE h, std::string_view bytes, const std::string& path);

}  // namespace kelvane::win
