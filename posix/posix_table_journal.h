#pragma once

// A table written in place (it has other names, or its folder takes no new file) is written
// behind a rollback journal, so that after any crash or kill the table is the old one or the
// new one: the old bytes are copied to the journal and synced before the first byte of the
// table changes, and the journal goes only once the new table is synced. A build that finds
// a journal puts the old bytes back first.

#include <sys/stat.h>

#include <string>

#include "platform/platform.h"
#include "posix/posix_support.h"

namespace kelvane::posix {

// Called with the step's name before every write, sync, truncation, rename and removal that
// a build makes to put a table in place; a test sets it to fail or to stop the process there.
extern void (*tableFaultHook)(const char* step);
inline void tableStep(const char* step) {
  if (tableFaultHook) tableFaultHook(step);
}

// True when the open files a and b hold the same bytes, read in pieces; named names them.
bool sameBytes(int a, int b, const std::string& named);

// The journal of the table at resolved (its path, links resolved), in folder: a folder of the
// running account's own, which no other account can write.
std::string journalPath(const std::string& folder, const std::string& resolved);

// Puts back the table open as table (named as named) from the journal at journal, if there is
// one, and removes it; false when there was none. A journal that was not complete was made
// before the table changed, and only goes. A journal of another file fails, changing nothing.
bool putBackFromJournal(const std::string& journal, int table, const std::string& named);

// The new table, spooled to an unnamed file in the journal's folder until commit() puts it
// over the table open as table, behind the journal. Memory stays bounded whatever its size.
// A table whose bytes would not change is left as it is.
std::unique_ptr<OutputFile> journaledOutput(Descriptor table, std::string named,
                                            std::string journal);

}  // namespace kelvane::posix
