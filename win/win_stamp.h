#pragma once

// What one look at a folder sees, for the last build's record: its identity, its change time
// and its last write time, and the system's clock read just before the look. NTFS changes a
// folder's last write time when an entry is added to it, removed or renamed, and its change
// time then and when its attributes or security change; a folder put in its place has
// another file ID. Unlike a change time on Linux, both times can be set to any value by
// whoever may write the folder's attributes: a look vouches for a folder only where no
// account but the running one and the system's own may do that.

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/file_types.h"

namespace kelvane::win {

// What lets an account set a folder's times, or give itself the right to.
constexpr ACCESS_MASK kSetTimes = FILE_WRITE_ATTRIBUTES | WRITE_DAC | WRITE_OWNER;

// The clock the file system stamps changes from, in nanoseconds since 1970: read before a
// look, every change after the look has a time later than this less a tick.
int64_t fileClockNow();

// True when the volume of the open h is a local NTFS volume: one that keeps a change time
// for folders, in the 100-nanosecond steps of this machine's clock.
bool keepsFolderTimes(HANDLE h);

// What a look at the folder open as h (with FILE_READ_ATTRIBUTES) saw, the clock read at
// seenAt before it; it says nothing (tickNs 0) unless trusted.
FolderStamp stampOf(HANDLE h, int64_t seenAt, bool trusted, const std::string& shown,
                    const char* source);

// The same from the entry a listing of the folder holding it gave, on volume: for a folder
// whose times no one else may set, as the caller has made sure.
FolderStamp stampOf(const FILE_ID_BOTH_DIR_INFO& entry, DWORD volume, int64_t seenAt);

}  // namespace kelvane::win
