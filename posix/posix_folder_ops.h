#pragma once

// What a walk of the link root does in one open folder: open a subfolder on the same mount,
// and delete, remove or rename an entry, failing in the words a dry run asks its questions
// in. The same whether made as the walk asks or behind it, on a thread of their own.

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "base/failure.h"
#include "platform/file_types.h"
#include "posix/posix_changes_behind.h"

namespace kelvane::posix {

// The file system and mount an open folder is on, and its identity: a walk below the tree's
// folder never enters a folder on another.
struct FolderMount {
  dev_t device = 0;
  uint64_t mountId = 0;
  bool mountKnown = false;
  FileIdentity id;
};

// Where the open folder fd is; false (with errno set) when the system cannot say.
bool mountOf(int fd, FolderMount& place);

// Opens the subfolder name of dir: never through a link, never into another mount than root.
// -1, with errno set, where it cannot.
int openSubfolder(int dir, const char* name, const FolderMount& root);

// What removing name (a folder or not) at path fails with where its folder refuses removals
// with refused.
Failure removalRefusal(int refused, bool folder, const std::string& path);

// The emptied subfolder from of the open folder (at where) becomes to, and must be empty
// then; false, changing nothing, where something stands at to. listed: from's own descriptor,
// which its listing used, set back to the start of the listing, or -1 to open it again by its
// new name.
bool renameEmptied(int folder, const std::string& where, const std::string& from,
                   const std::string& to, const FolderMount& root, int listed);

// Makes one change a walk asked for: false for a rename that found its new name taken, after
// which the stale folder is removed instead.
bool makeChange(const ChangesBehind::Change& change, const FolderMount& root);

}  // namespace kelvane::posix
