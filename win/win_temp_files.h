#pragma once

// The files a build keeps beside a table while it replaces it: named after the table, so
// that the next build of it finds what a killed one left, and with a part no one can guess,
// so that no other account can stand a file of its own at the name first.

#include <string>

#include "platform/messages.h"
#include "win/win_support.h"

namespace kelvane::win {

// What the names of the table at target's temporary files start with, in its folder:
// ".kelvane-" and a hash of its name in lower case (names differing in case are one file).
std::wstring tempPrefix(const std::wstring& target);

// A new hidden file folder & prefix & an unguessable part & ".tmp", made where nothing stands
// (a name taken is tried again with another part), with security when given; name takes the
// path made.
Handle createUnguessable(const std::wstring& folder, const std::wstring& prefix, std::wstring& name,
                         const std::string& shown, PSECURITY_DESCRIPTOR security = nullptr);
// A name for the old table while ReplaceFileW moves the new one in: prefix, an unguessable
// part, ".old".
std::wstring backupName(const std::wstring& folder, const std::wstring& prefix);

// Removes from folder what a killed build of the table with prefix left: plain files of the
// running account's only (another account's file is its own affair). An old table's copy is
// removed only where the table stands (a replace stopped halfway leaves the old table under
// that name and nothing at its own): else it is kept, and named on warnings.
void removeLeftovers(const std::wstring& folder, const std::wstring& prefix, bool tableThere,
                     Messages& warnings);

}  // namespace kelvane::win
