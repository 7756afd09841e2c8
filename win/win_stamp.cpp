#include "win/win_stamp.h"

// After windows.h, which it needs.
#include <winternl.h>

#include <cwchar>
#include <limits>

#include "win/win_support.h"

namespace kelvane::win {

namespace {

// The system's clock steps every 15.6 ms at most, and NTFS takes its times from the same
// clock as GetSystemTimeAsFileTime; under Wine that clock is the precise one while Linux
// stamps from its coarse one, up to a kernel tick (4 to 10 ms) behind. Two steps of the
// slowest of these cover each.
constexpr int64_t kTickNs = 32000000;
constexpr int64_t k1601To1970 = 116444736000000000;  // in 100-nanosecond steps
constexpr ULONG kRemoteDevice = 0x10;                // FILE_REMOTE_DEVICE

// A time of the system's (100-nanosecond steps since 1601) in nanoseconds since 1970; false
// for one too far from now to be held so, which is then no time to compare.
bool toNs(int64_t steps, int64_t& ns) {
  constexpr int64_t kFar = std::numeric_limits<int64_t>::max() / 100;
  if (steps < k1601To1970 - kFar || steps > k1601To1970 + kFar) return false;
  ns = (steps - k1601To1970) * 100;
  return true;
}

FolderStamp stamp(FileIdentity id, const LARGE_INTEGER& changed, const LARGE_INTEGER& written,
                  int64_t seenAt, bool trusted) {
  FolderStamp seen;
  seen.id = id;
  seen.seenAtNs = seenAt;
  bool timed = toNs(changed.QuadPart, seen.changedNs) && toNs(written.QuadPart, seen.modifiedNs);
  seen.tickNs = trusted && timed ? kTickNs : 0;
  return seen;
}

}  // namespace

int64_t fileClockNow() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  int64_t ns = 0;
  toNs(static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime),
       ns);
  return ns;
}

bool keepsFolderTimes(HANDLE h) {
  // Other file systems keep no change time (FAT, exFAT) or 64-bit file IDs that may not be
  // unique (ReFS); a share's times come from another machine's clock.
  wchar_t name[MAX_PATH + 1] = {};
  if (!::GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, nullptr, name,
                                       MAX_PATH + 1) ||
      std::wcscmp(name, L"NTFS") != 0)
    return false;
  FILE_FS_DEVICE_INFORMATION device{};
  IO_STATUS_BLOCK io;
  return ::NtQueryVolumeInformationFile(h, &io, &device, sizeof device, FileFsDeviceInformation) >=
             0 &&
         !(device.Characteristics & kRemoteDevice);
}

FolderStamp stampOf(HANDLE h, int64_t seenAt, bool trusted, const std::string& shown,
                    const char* source) {
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
    throw lastErrorFailure("Cannot look at folder", shown, source);
  return stamp(identityOf(infoOf(h, shown, source)), basic.ChangeTime, basic.LastWriteTime, seenAt,
               trusted);
}

FolderStamp stampOf(const FILE_ID_BOTH_DIR_INFO& entry, DWORD volume, int64_t seenAt) {
  return stamp({volume, static_cast<uint64_t>(entry.FileId.QuadPart)}, entry.ChangeTime,
               entry.LastWriteTime, seenAt, true);
}

}  // namespace kelvane::win
