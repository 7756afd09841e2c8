#pragma once

#include <sys/stat.h>

#include <string>

namespace kelvane::posix {

// Who holds a lock on the file lockFile describes, where the system confirms it now: each
// process that /proc/locks gives as holding it (those still waiting left out) that is alive
// and has that very file open, "the build of process 12 of ftp (uid 107)" when its program is
// kelvane, else "process 12 (flock) of ftp (uid 107)". "" where none is confirmed (a holder
// that ended, or whose process this account may not look into).
std::string lockHolder(const struct stat& lockFile);

}  // namespace kelvane::posix
