#include "win/win_table_journal.h"

#include <cstdio>
#include <string_view>

#include "base/failure.h"
#include "win/win_nt.h"
#include "win/win_security.h"

namespace kelvane::win {

void (*tableFaultHook)(const char* step) = nullptr;

namespace {

const char* const kSource = "journal";
constexpr DWORD kPiece = 64 * 1024;
const std::string_view kTrailer = "\nend\n";
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What would let another account swap a folder, or what is in it, for one of its own.
constexpr ACCESS_MASK kReplace = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
// And, in the journals' own folder, lay a file down there.
constexpr ACCESS_MASK kAddTo = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;

DWORD take(HANDLE h, char* buffer, DWORD size, const std::string& shown) {
  DWORD n = 0;
  if (!::ReadFile(h, buffer, size, &n, nullptr))
    throw lastErrorFailure("Cannot read file", shown, "read");
  return n;
}

LONGLONG sizeOf(HANDLE h, const std::string& shown) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size)) throw lastErrorFailure("Cannot look at", shown, kSource);
  return size.QuadPart;
}

void seek(HANDLE h, LONGLONG at) {
  LARGE_INTEGER to{};
  to.QuadPart = at;
  ::SetFilePointerEx(h, to, nullptr, FILE_BEGIN);
}

void copy(HANDLE from, LONGLONG length, HANDLE to, const std::string& shown) {
  char buffer[kPiece];
  while (length > 0) {
    DWORD n = take(from, buffer, static_cast<DWORD>(std::min<LONGLONG>(length, kPiece)), shown);
    if (n == 0) throw Failure(ERROR_HANDLE_EOF, "\"" + shown + "\" ended early", kSource);
    tableStep("write");
    writeAll(to, std::string_view(buffer, n), shown);
    length -= n;
  }
}

void flush(HANDLE h, const std::string& shown, const char* step) {
  tableStep(step);
  if (!::FlushFileBuffers(h)) throw lastErrorFailure("Cannot write file", shown, step);
}

std::string header(HANDLE table, const std::string& shown) {
  FileIdentity id = identityOf(infoOf(table, shown, kSource));
  char text[96];
  std::snprintf(text, sizeof text, "kelvane table journal 1\n%llu %llu %lld\n",
                static_cast<unsigned long long>(id.device),
                static_cast<unsigned long long>(id.inode), sizeOf(table, shown));
  return text;
}

Failure refused(const std::string& what, const std::string& path, const std::string& why,
                const std::string& fix) {
  return Failure(ERROR_ACCESS_DENIED, "The " + what + " \"" + path + "\" " + why, kSource, fix);
}

// Refuses the folder at path when another account owns it or holds one of rights to it.
void checkLevel(const std::string& what, const std::wstring& path, ACCESS_MASK rights,
                const std::string& shownFolder) {
  Handle h(::CreateFileW(longPath(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) throw lastErrorFailure("Cannot look at the " + what, narrow(path), kSource);
  std::string stranger = strangerWithRights(h.get(), rights);
  if (!stranger.empty())
    throw refused(what, shownFolder,
                  "could be changed by " + stranger + " (through \"" + narrow(path) + "\")",
                  "Make sure that only your own account, SYSTEM and the Administrators own or may "
                  "change \"" +
                      narrow(path) + "\"");
}

}  // namespace

std::wstring journalFolder(const std::string& stateFolder) {
  return ownStateFolder(widePath(stateFolder, kSource) + L"\\kelvane", "journal folder");
}

std::wstring ownStateFolder(const std::wstring& folder, const std::string& what) {
  std::string shown = narrow(folder);
  // The folder itself, never a link that could lead elsewhere, then each level that holds it
  // as the system resolves it.
  Handle h(::CreateFileW(longPath(folder).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr));
  if (!h) {
    DWORD err = ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return L"";
    throw errorFailure(err, "Cannot open the " + what, shown, kSource);
  }
  HandleInfo info = infoOf(h.get(), shown, kSource);
  if (!info.isFolder() || info.isReparse())
    throw refused(what, shown, "is not a folder of its own (a file, a junction or a link is there)",
                  "Remove \"" + shown + "\"; the next build makes the folder");
  std::wstring resolved = finalPath(h.get(), shown, kSource);
  checkLevel(what, resolved, kReplace | kAddTo, shown);
  for (std::wstring at = parentText(resolved); !at.empty(); at = parentText(at))
    checkLevel(what, at, kReplace, shown);
  return folder;
}

std::wstring journalOf(const std::wstring& folder, const FileIdentity& table) {
  wchar_t name[64];
  std::swprintf(name, 64, L"\\table-%08llx-%016llx.journal",
                static_cast<unsigned long long>(table.device),
                static_cast<unsigned long long>(table.inode));
  return folder + name;
}

void writeJournal(const std::wstring& journal, HANDLE table, const std::string& shown) {
  tableStep("create journal");
  Handle out(::CreateFileW(longPath(journal).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!out) throw lastErrorFailure("Cannot make the journal of", shown, kSource);
  tableStep("write");
  writeAll(out.get(), header(table, shown), shown);
  seek(table, 0);
  copy(table, sizeOf(table, shown), out.get(), shown);
  tableStep("write");
  writeAll(out.get(), kTrailer, shown);
  flush(out.get(), shown, "flush journal");
}

namespace {

// A journal opened and read as far as its header, checked to be a plain file of the running
// account's with one name; complete when it ends with its trailer.
struct Journal {
  Handle in;
  std::string named;
  bool complete = false;
  FileIdentity table;
  LONGLONG start = 0, size = -1;
};

// Opens the journal, if there is one (false when there is none).
bool openJournal(const std::wstring& path, Journal& journal) {
  journal.named = narrow(path);
  const std::string& named = journal.named;
  journal.in = Handle(::CreateFileW(longPath(path).c_str(), GENERIC_READ | DELETE | READ_CONTROL,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  HANDLE in = journal.in.get();
  if (!in) {
    DWORD err = ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return false;
    throw errorFailure(err, "Cannot open the journal", named, kSource);
  }
  HandleInfo info = infoOf(in, named, kSource);
  if (::GetFileType(in) != FILE_TYPE_DISK || info.isFolder() || info.isReparse() ||
      info.info.nNumberOfLinks != 1 || !ownedByRunningAccount(in))
    throw Failure(
        ERROR_ACCESS_DENIED,
        "The journal \"" + named + "\" is not a plain file of the running account's with one name",
        kSource, "Check what \"" + named + "\" is and who made it, then remove it");
  char text[96] = {};
  DWORD n = take(in, text, sizeof text - 1, named);
  std::string_view head(text, n);
  size_t first = head.find('\n'), end = head.find('\n', first + 1);
  unsigned long long device = 0, inode = 0;
  long long size = -1;
  bool parsed = head.rfind("kelvane table journal 1\n", 0) == 0 && end != std::string_view::npos &&
                std::sscanf(text + first + 1, "%llu %llu %lld", &device, &inode, &size) == 3;
  journal.table = {device, inode};
  journal.start = static_cast<LONGLONG>(end + 1);
  journal.size = size;
  char trailer[8] = {};
  journal.complete =
      parsed && size >= 0 && sizeOf(in, named) == journal.start + size + LONGLONG(kTrailer.size());
  if (journal.complete) {
    seek(in, journal.start + size);
    journal.complete = take(in, trailer, DWORD(kTrailer.size()), named) == kTrailer.size() &&
                       kTrailer == std::string_view(trailer, kTrailer.size());
  }
  return true;
}

// A complete journal holds the old bytes of the table open as table, or fails.
void checkFits(const Journal& journal, HANDLE table, const std::string& shown) {
  if (identityOf(infoOf(table, shown, kSource)) != journal.table)
    throw Failure(
        ERROR_FILE_INVALID,
        "The journal \"" + journal.named + "\" holds the old bytes of another file than \"" +
            shown + "\", which was replaced since",
        kSource, "Check that \"" + shown + "\" is the table it should be, then remove the journal");
}

}  // namespace

void checkJournal(const std::wstring& path, const std::wstring& target, const std::string& shown) {
  Journal journal;
  if (!openJournal(path, journal) || !journal.complete) return;
  Handle table = openForLooking(target, false);
  if (!table) throw lastErrorFailure("Cannot look at", shown, kSource);
  checkFits(journal, table.get(), shown);
}

bool putBackFromJournal(const std::wstring& path, const std::wstring& target,
                        const std::string& shown) {
  Journal journal;
  if (!openJournal(path, journal)) return false;
  if (journal.complete) {
    Handle out(::CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!out) throw lastErrorFailure("Cannot write file", shown, "open");
    checkFits(journal, out.get(), shown);
    seek(journal.in.get(), journal.start);
    seek(out.get(), 0);
    copy(journal.in.get(), journal.size, out.get(), shown);
    tableStep("cut");
    if (!::SetEndOfFile(out.get())) throw lastErrorFailure("Cannot write file", shown, "cut");
    flush(out.get(), shown, "flush");
  }
  // Through the handle checked above, whatever stands at the name now.
  tableStep("remove journal");
  deleteOpen(journal.in.get(), journal.named, "Cannot remove the journal", kSource);
  return true;
}

void refuseJournalBeside(const std::wstring& target, const std::string& shown) {
  std::wstring old = target + L".kelvane-journal";
  if (::GetFileAttributesW(longPath(old).c_str()) == INVALID_FILE_ATTRIBUTES) return;
  std::string named = narrow(old);
  throw Failure(ERROR_ACCESS_DENIED,
                "A build of an earlier version stopped while writing \"" + shown +
                    "\" and left its old bytes in \"" + named +
                    "\", beside the table, where another account may have put it",
                kSource,
                "Check \"" + shown +
                    "\"; if it is torn, put back the bytes the journal holds between its second "
                    "line and its last line \"end\", then remove \"" +
                    named + "\"");
}

}  // namespace kelvane::win
