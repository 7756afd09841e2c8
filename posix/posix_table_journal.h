#pragma once

// A table written in place (it has other names, or its folder takes no new file) is written
// behind a rollback journal: the old bytes are copied to the journal and synced, with its
// folder, before the first byte of the table changes, and the journal goes only once the new
// table is synced. A kill in between can leave the table torn, never shorter than the old
// one unless it is the new one; the next build of it puts the old bytes back first.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "posix/posix_journal_place.h"
#include "posix/posix_support.h"

namespace kelvane::posix {

// Called with the step's name before every write, sync, truncation, rename and removal that
// a build makes to put a table in place; a test sets it to fail or to stop the process there.
extern void (*tableFaultHook)(const char* step);
inline void tableStep(const char* step) {
  if (tableFaultHook) tableFaultHook(step);
}

// The calls that make a table's bytes last, which a test may wrap to fail them or to see
// which file each one reaches: a dropped sync shows only there.
struct TableCalls {
  int (*fsync)(int fd) = ::fsync;
  int (*fallocate)(int fd, int mode, off_t offset, off_t length) = ::fallocate;
};
extern TableCalls tableCalls;

// Syncs the open folder fd (named path): the names made or removed in it last. A file system
// that cannot sync a folder says EINVAL, which is no failure.
void syncFolder(int fd, const std::string& path, const char* step);

// Puts back the table open as table (named as named) from its journal, open as journal, in
// folder, and removes it. A journal that was not complete was made before the table changed,
// and only goes. A journal of another file fails, changing nothing.
void putBackFromJournal(const JournalFolder& folder, Descriptor journal, int table,
                        const std::string& named);

// The new table, spooled to an unnamed file in folder until commit() puts it over the table
// open as table, behind a journal in folder. Memory stays bounded whatever its size. A table
// whose bytes would not change is left as it is, and no journal is made.
std::unique_ptr<OutputFile> journaledOutput(Descriptor table, std::string named,
                                            JournalFolder folder);

}  // namespace kelvane::posix
