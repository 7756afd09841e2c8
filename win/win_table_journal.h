#pragma once

// A table written in place (it has other names) goes behind a rollback journal beside it, as
// on Linux: its old bytes are copied there and flushed before the first byte of the table
// changes, and the journal goes only once the new table is flushed. A build that finds a
// journal puts the old bytes back first.

#include <string>

#include "win/win_support.h"

namespace kelvane::win {

// The journal of the table whose final path is target.
std::wstring journalOf(const std::wstring& target);

// Copies the table open as table (for reading) into a new journal at journal, flushed.
void writeJournal(const std::wstring& journal, HANDLE table, const std::string& shown);

// Puts back the table at target from its journal, if there is one, and removes it; false when
// there was none. An unfinished journal was made before the table changed, and only goes; a
// journal of another file fails, changing nothing.
bool putBackFromJournal(const std::wstring& journal, const std::wstring& target,
                        const std::string& shown);

}  // namespace kelvane::win
