#pragma once

// Where a table's journal is kept, and which journal may be put back into a table. A journal
// decides the bytes of a table that root may be rewriting, so it is kept only where no
// account other than the running one and root can write, and one that such an account could
// have planted or changed is refused, naming it, never applied.

#include <sys/stat.h>

#include <string>

#include "posix/posix_support.h"

namespace kelvane::posix {

// The running account's folder for journals, open for reading (and syncing), or -1 where it
// is not there yet; path names it in messages.
struct JournalFolder {
  Descriptor fd;
  std::string path;
  std::string pathOf(const std::string& name) const { return path + "/" + name; }
};

// The name of the journal of the file st describes: one per file, whichever of its names a
// build reaches it by.
std::string journalName(const struct stat& table);

// Opens the folder at path, refused unless it and every folder on the way to it are ones
// that only the running account and root can write or replace. A folder not there yet is
// checked by the folder that would hold it; with create it is then made, each missing level
// through the checked folder above it and private to the account.
JournalFolder openJournalFolder(const std::string& path, bool create);

// The journal name in folder, open for reading; -1 when there is none. Anything but a plain
// file of the running account's with one name and mode 0600 is refused, naming it.
Descriptor openJournal(const JournalFolder& folder, const std::string& name);

}  // namespace kelvane::posix
