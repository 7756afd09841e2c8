#pragma once

// Paths reached the way a build may act on them: one level at a time from the root of the
// file system, through descriptors of folders already checked, so that no account other
// than the running one and root can lead the build anywhere by putting a link or a folder
// of its own on the way.

#include <sys/stat.h>

#include <string>

#include "posix/posix_support.h"

namespace kelvane::posix {

// Where a path leads: the folder holding its last part, opened, and that part as it stands
// there (a link not followed). A path naming a folder itself ("/", "a/..") has no last part.
struct PathTarget {
  Descriptor folder;  // O_PATH
  struct stat folderStat {};
  std::string name;  // the last part; empty when the path names the folder itself
  bool exists = false;
  struct stat stat {};  // of the last part, when it exists
  // Who other than the running account and root could replace the last part ("" when no
  // one): the path may be acted on only through folder, never by name.
  std::string replaceableBy;
  std::string shown;  // the path reached, links followed, for messages
};

// Walks path (a relative one from the current folder). Links are followed (the last one
// only with followLast) only where no other account could have replaced them, and no folder
// is passed through that another account could replace; either throws a refusal naming the
// path and the account. A missing leading level, or one that is not a folder, ends the walk
// early: the result's folder is then the last one reached and its name the missing part,
// with `complete` false.
struct WalkedPath {
  PathTarget target;
  bool complete = true;
};
WalkedPath walkPath(const std::string& path, bool followLast, const char* source);

// The account uid as the system names it: "ftp (uid 107)", or "uid 107" for one it lacks.
std::string accountName(uid_t uid);

// Root or the account running the build.
bool isTrusted(uid_t uid);

// Who other than the running account and root could replace an entry of the folder with
// entry's owner: its owner, or anyone in its group or at all who may write it ("" for no
// one). A folder that only lets each account remove its own entries (the sticky bit) lets
// others replace an entry only when they own it.
std::string whoCanReplace(const struct stat& folder, uid_t entryOwner);

}  // namespace kelvane::posix
