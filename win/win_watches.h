#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/watches.h"

namespace kelvane {

// Watches on Windows: each folder held open (a link to it followed; shared, so that it can
// still be renamed or removed) with a ReadDirectoryChangesW always pending, whose completions
// come back while wait() waits. An end is asked for by setting the event endEventName()
// names, or by Ctrl+C, Ctrl+Break or closing the console the program was started from (which
// it attaches to). No service manager is told anything: Windows has no systemd.
std::unique_ptr<Watches> openWinWatches();

// The name of the event that ends the following of the process with this id:
// "Local\kelvane-follow-<id>" (a process in session 0, as a service or a task run whether a
// user is logged on or not, has it in the global namespace: "Global\kelvane-follow-<id>").
std::wstring endEventName(unsigned long processId);

// What one completed ReadDirectoryChangesW on a watched folder says: err and bytes as it
// completed, buffer holding the FILE_NOTIFY_INFORMATION entries it wrote.
struct FolderChanges {
  std::vector<WatchEvent> events;  // for watch: entries added, removed, renamed, written
  bool overflowed = false;         // they did not fit the buffer and were dropped
  bool ended = false;  // no more can be read: the folder is being removed or its volume went
};
FolderChanges folderChangesOf(int watch, unsigned long err, unsigned long bytes,
                              const void* buffer);

}  // namespace kelvane
