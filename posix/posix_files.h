#pragma once

// What the Linux platform's files, output and locks share about files reached by a walk.

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "posix/posix_walk.h"

namespace kelvane::posix {

void writeAll(int fd, std::string_view bytes, const std::string& path, const char* source);

// What a path leads to, when it is not a plain file: for the failure that refuses it.
std::string notAPlainFile(const std::string& path, mode_t mode, const std::string& role);

// A file with several names, in a folder that another account can write, could be a hard
// link that account made to any file: it is neither read nor written in place.
void refuseLinkedInForeignFolder(const PathTarget& r, const std::string& path,
                                 const std::string& role, const char* source);

// Who other than the running account and root could change what the walk reached (an
// existing file or folder): replace it, own it, or write it through its group or as anyone;
// "" for no one.
std::string whoCanChange(const PathTarget& r);

// Opens the file the walk reached, from the folder it checked and never through a link,
// failing if another file took its place meanwhile.
Descriptor openReached(const PathTarget& r, int flags, const std::string& path, const char* what,
                       const char* source);

}  // namespace kelvane::posix
