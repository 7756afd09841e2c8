#pragma once

// A table written in place (it has other names) goes behind a rollback journal, as on Linux:
// its old bytes are copied there and flushed before the first byte of the table changes, and
// the journal goes only once the new table is flushed. A build that finds a journal puts the
// old bytes back first. Journals live among the running account's own state
// (%LOCALAPPDATA%\kelvane), named after the table's identity, so that no other account can
// lay one down for a build to apply, and every name of a table finds the same one.

#include <string>

#include "platform/file_types.h"
#include "win/win_support.h"

namespace kelvane::win {

// Called with the step's name before every write, flush, cut, replacement and removal that a
// build makes to put a table in place; a test sets it to fail or to stop the process there.
extern void (*tableFaultHook)(const char* step);
inline void tableStep(const char* step) {
  if (tableFaultHook) tableFaultHook(step);
}

// The folder journals go to, below the state folder: checked to belong to the running account,
// and to let no other account add, remove or rename anything in it or in a folder above it,
// or change their security; "" when it is missing.
std::wstring journalFolder(const std::string& stateFolder);
// folder, checked as journalFolder checks the journals' one; what names it in a refusal.
std::wstring ownStateFolder(const std::wstring& folder, const std::string& what);

// The journal of the table whose identity is table, in folder.
std::wstring journalOf(const std::wstring& folder, const FileIdentity& table);

// Copies the table open as table (for reading) into a new journal at journal, flushed.
void writeJournal(const std::wstring& journal, HANDLE table, const std::string& shown);

// Puts back the table at target from its journal, if there is one, and removes it; false when
// there was none. An unfinished journal was made before the table changed, and only goes; a
// journal of another file, or one that is not a plain file of the running account's with one
// name, fails, changing nothing.
bool putBackFromJournal(const std::wstring& journal, const std::wstring& target,
                        const std::string& shown);

// Fails where putBackFromJournal would, changing nothing.
void checkJournal(const std::wstring& journal, const std::wstring& target,
                  const std::string& shown);

// Where builds before this one kept a table's journal: beside it. Such a journal is never
// applied (whoever may write the table's folder could have put it there): a build refuses
// the table, naming it, until the person has looked.
void refuseJournalBeside(const std::wstring& target, const std::string& shown);

}  // namespace kelvane::win
