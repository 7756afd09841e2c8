#pragma once
// The flags a file system keeps beside a file's permissions, which stop even root.

#include <string>

#include "posix/posix_walk.h"

namespace kelvane::posix {

// Refuses the table r reached (a plain file there) when it is immutable (chattr +i) or
// append-only (chattr +a): no rename can replace it and no write in place can put it right,
// so a build must stop before it removes anything, and a dry run with it. A file system that
// keeps no such flags refuses nothing.
void refuseUnchangeableTable(const PathTarget& r, const std::string& path, const char* source);

}  // namespace kelvane::posix
