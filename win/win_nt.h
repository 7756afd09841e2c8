#pragma once

// Opening and creating by name relative to an open folder (the system's own NtCreateFile with
// a root directory), so that what is reached is decided by a folder already checked, never by
// a path the system would resolve again.

#include <windows.h>
// After windows.h, which it needs.
#include <winternl.h>

#include <functional>
#include <string>

#include "win/win_support.h"

namespace kelvane::win {

constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kPathNotFound = static_cast<NTSTATUS>(0xC000003A);

// What to ask of the system for one name in an open folder.
struct Request {
  ACCESS_MASK access;
  ULONG share;
  ULONG disposition;                        // FILE_OPEN, FILE_CREATE, FILE_OPEN_IF
  ULONG options;                            // FILE_OPEN_REPARSE_POINT is always added
  DWORD attributes = 0;                     // of a file made now
  PSECURITY_DESCRIPTOR security = nullptr;  // of a file made now
};

// name in folder (an empty name is the folder itself), never following a reparse point at
// name. An empty Handle when the system refuses, with status saying why.
Handle openIn(HANDLE folder, const std::wstring& name, const Request& request, NTSTATUS& status);

// openIn, a refusal thrown as a Failure naming shown.
Handle openInOrFail(HANDLE folder, const std::wstring& name, const Request& request,
                    const std::string& shown, const char* what, const char* source);

// The attributes the folder's own listing gives name; false when it cannot say. Under Wine,
// which opens a Unix link to a folder as the folder it leads to, only the listing shows such
// a link for what it is.
bool listedAttributes(HANDLE folder, const std::wstring& name, DWORD& attributes);

// Hands each entry of the folder open as folder (with FILE_LIST_DIRECTORY) to take, in the
// order the system lists them, "." and ".." too where it gives them.
void eachListed(HANDLE folder, const std::string& shown,
                const std::function<void(const FILE_ID_BOTH_DIR_INFO&)>& take);

// True when name in folder, opened as h, is a folder itself: no reparse point, neither
// as opened nor as listed, and on volume.
bool isPlainFolder(HANDLE folder, const std::wstring& name, HANDLE h, DWORD volume,
                   const std::string& shown, const char* source);

// The folder at relative (levels split at "\" and "/", empty and "." levels skipped) below
// root, on volume: each level opened from the one before, starting at root, never through a
// reparse point; the last one made when it is missing (made is then true). Anything but a
// folder where a level goes fails, naming it as shownRoot & relative. With onlyLook nothing
// is made: made says the folder is missing, and the Handle is then empty.
Handle reachFolder(HANDLE root, DWORD volume, const std::string& shownRoot,
                   const std::string& relative, bool onlyLook, bool& made);

// Marks the open file or folder for deletion; it goes when the handle closes.
void deleteOpen(HANDLE h, const std::string& shown, const char* what, const char* source);

// path in the form that reaches past MAX_PATH ("\\?\C:\..." or "\\?\UNC\server\...").
std::wstring longPath(const std::wstring& path);

}  // namespace kelvane::win
