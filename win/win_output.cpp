// The output table replaced only when a build completes.

#include <algorithm>
#include <cstring>

#include "win/win_file_system.h"
#include "win/win_nt.h"
#include "win/win_support.h"
#include "win/win_table_journal.h"
#include "win/win_temp_files.h"

namespace kelvane {

using namespace win;

namespace {

// True when the open files a and b hold the same bytes, read from their starts.
bool sameBytes(HANDLE a, HANDLE b, const std::string& shown) {
  LARGE_INTEGER one{}, two{}, start{};
  if (!::GetFileSizeEx(a, &one) || !::GetFileSizeEx(b, &two) || one.QuadPart != two.QuadPart)
    return false;
  ::SetFilePointerEx(a, start, nullptr, FILE_BEGIN);
  ::SetFilePointerEx(b, start, nullptr, FILE_BEGIN);
  static char first[64 * 1024], second[64 * 1024];
  for (DWORD n = 0, m = 0;;) {
    if (!::ReadFile(a, first, sizeof first, &n, nullptr) || !::ReadFile(b, second, n, &m, nullptr))
      throw lastErrorFailure("Cannot read file", shown, "read");
    if (n != m || std::memcmp(first, second, n) != 0) return false;
    if (n == 0) return true;
  }
}

// What createOutput finds at path: the target to write (a link's is what it leads to), and
// whether a table is there already. Anything that cannot become the table fails now, before
// the old mirror folders are gone, and nothing is changed.
struct OutputPlace {
  std::wstring target;
  bool exists = false;
  bool inPlace = false;
  FileIdentity id;
  std::wstring folder() const { return target.substr(0, target.find_last_of(L"\\/") + 1); }
};

// The new table goes to a hidden file beside the old one, under a name no one can guess (the
// lock keeps two builds of one table apart, and the next build removes one a killed build
// left). commit() puts it in place with ReplaceFileW, which keeps the old file's attributes
// and security; a table with several names is written in place (opened for that now, so that
// a table that cannot be written fails before anything is removed) so that every name sees it.
// A table whose bytes would not change is left as it is, its times with it, so that a server
// watching it does not reload it for nothing.
class WinOutput : public OutputFile {
 public:
  WinOutput(std::string shown, const OutputPlace& place, Handle table, std::wstring journal)
      : shown_(std::move(shown)),
        target_(place.target),
        prefix_(tempPrefix(target_)),
        backup_(backupName(place.folder(), prefix_)),
        temp_h_(createUnguessable(place.folder(), prefix_, temp_, shown_)),
        table_(std::move(table)),
        journal_(std::move(journal)),
        exists_(place.exists) {}
  ~WinOutput() override {
    temp_h_ = Handle();
    if (!committed_) ::DeleteFileW(longPath(temp_).c_str());
  }

  void write(std::string_view bytes) override {
    if (buffer_.size() + bytes.size() > kPiece) spool();
    buffer_.append(bytes);
  }

  void commit() override {
    spool();
    if (exists_ && isUnchanged()) return;
    if (table_) return commitInPlace();
    flush(temp_h_.get(), "flush");
    temp_h_ = Handle();
    std::wstring temp = longPath(temp_), target = longPath(target_), backup = longPath(backup_);
    // A new table is not hidden; a replaced one takes the old file's attributes.
    if (!exists_) {
      ::SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
      tableStep("move");
      if (!::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH))
        throw lastErrorFailure("Cannot replace file", shown_, "MoveFileExW");
      committed_ = true;
      return;
    }
    // The old table passes through a backup name, so that a replace that fails halfway (a
    // scanner holding the new file, say) can always give the table back.
    tableStep("replace");
    if (::ReplaceFileW(target.c_str(), temp.c_str(), backup.c_str(),
                       REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
      committed_ = true;
      tableStep("remove backup");
      ::DeleteFileW(backup.c_str());
      return;
    }
    DWORD err = ::GetLastError();
    // The old table has moved to the backup name and the new one could not take its place.
    if (err == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 &&
        !::MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
      committed_ = true;  // the new table stays beside the backup, for the person to choose
      throw Failure(static_cast<int>(err),
                    "Cannot replace file \"" + shown_ + "\": " + errorText(err) +
                        ". The old table is at \"" + narrow(backup_) + "\" and the new one at \"" +
                        narrow(temp_) + "\"",
                    "ReplaceFileW");
    }
    throw errorFailure(err, "Cannot replace file", shown_, "ReplaceFileW");
  }

 private:
  static constexpr size_t kPiece = 64 * 1024;

  void spool() {
    tableStep("write");
    writeAll(temp_h_.get(), buffer_, shown_);
    buffer_.clear();
  }

  void flush(HANDLE h, const char* step) {
    tableStep(step);
    if (!::FlushFileBuffers(h)) throw lastErrorFailure("Cannot write file", shown_, step);
  }

  bool isUnchanged() {
    if (table_) return sameBytes(temp_h_.get(), table_.get(), shown_);
    Handle old(::CreateFileW(longPath(target_).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return old && sameBytes(temp_h_.get(), old.get(), shown_);
  }

  // The room the new table needs is taken first, so a full disk fails with the table as it
  // was; it is written from the start and cut to its length last, so that no old tail stays
  // after a shorter one.
  void commitInPlace() {
    HANDLE out = table_.get();
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(temp_h_.get(), &length))
      throw lastErrorFailure("Cannot read the new table back from", narrow(temp_), "size");
    // Only room beyond the table's end is asked for: an allocation below it would cut it. A
    // file system that sets no room aside is written at a venture; a full one fails here.
    LARGE_INTEGER now{};
    FILE_ALLOCATION_INFO room{};
    room.AllocationSize = length;
    tableStep("allocate");
    if (::GetFileSizeEx(out, &now) && length.QuadPart > now.QuadPart &&
        !::SetFileInformationByHandle(out, FileAllocationInfo, &room, sizeof room)) {
      DWORD err = ::GetLastError();
      if (err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL || err == ERROR_NOT_ENOUGH_QUOTA)
        throw errorFailure(err, "Cannot write file", shown_, "allocate");
    }
    // The old bytes first, whole and flushed, where the next build finds them.
    writeJournal(journal_, out, shown_);
    try {
      LARGE_INTEGER start{};
      ::SetFilePointerEx(temp_h_.get(), start, nullptr, FILE_BEGIN);
      ::SetFilePointerEx(out, start, nullptr, FILE_BEGIN);
      static char buffer[64 * 1024];
      for (DWORD n = 0;;) {
        if (!::ReadFile(temp_h_.get(), buffer, sizeof buffer, &n, nullptr))
          throw lastErrorFailure("Cannot read the new table back from", narrow(temp_), "read");
        if (n == 0) break;
        tableStep("write");
        writeAll(out, std::string_view(buffer, n), shown_);
      }
      tableStep("cut");
      if (!::SetEndOfFile(out)) throw lastErrorFailure("Cannot write file", shown_, "cut");
      flush(out, "flush");
    } catch (const Failure& failed) {
      table_ = Handle();
      try {
        putBackFromJournal(journal_, target_, shown_);
      } catch (const Failure& again) {
        throw Failure(failed.number(),
                      failed.description() + "; putting its old bytes back failed too (" +
                          again.description() + ")",
                      failed.source(),
                      "The old table is kept in \"" + narrow(journal_) +
                          "\": the next build puts it back before anything else");
      }
      throw;
    }
    tableStep("remove journal");
    if (!::DeleteFileW(longPath(journal_).c_str()))
      throw Failure(static_cast<int>(::GetLastError()),
                    "The new VFS file \"" + shown_ + "\" is in place, but its journal \"" +
                        narrow(journal_) + "\" could not be removed",
                    "journal",
                    "Remove \"" + narrow(journal_) +
                        "\": until then every build puts the old bytes back first");
  }

  std::string shown_;
  std::wstring target_;
  std::wstring prefix_;
  std::wstring backup_;
  std::wstring temp_;
  Handle temp_h_;
  Handle table_;  // open for writing when the table is written in place
  std::wstring journal_;
  bool exists_;
  bool committed_ = false;
  std::string buffer_;
};

OutputPlace placeOfOutput(const std::string& path, const char* source) {
  // No name is no table: it would make ".kelvane" in the current folder and fail only when
  // put in place.
  if (path.empty()) throw errorFailure(ERROR_PATH_NOT_FOUND, "Cannot create file", path, source);
  OutputPlace place;
  place.target = widePath(path, source);
  if (Handle h = openForLooking(place.target, true)) {
    bool device = ::GetFileType(h.get()) != FILE_TYPE_DISK;  // it has no file information
    HandleInfo info = device ? HandleInfo{} : infoOf(h.get(), path, source);
    if (device || info.isFolder())
      throw Failure(ERROR_ACCESS_DENIED,
                    "Cannot write \"" + path + "\": something other than a plain file is there",
                    source);
    // The system will not replace a read-only file.
    if (info.info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
      throw Failure(
          ERROR_ACCESS_DENIED,
          "Cannot replace \"" + path + "\": it is read-only. Clear its read-only attribute",
          source);
    place.target = finalPath(h.get(), path, source);
    place.exists = true;
    place.inPlace = info.info.nNumberOfLinks > 1;
    place.id = identityOf(info);
  } else {
    place.target = fullPathOf(place.target, path, source);
  }
  return place;
}

// The table written in place, opened for that before anything is removed; opening it changes
// nothing, its times included.
Handle openToWrite(const OutputPlace& place, const std::string& shown) {
  Handle h(::CreateFileW(longPath(place.target).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr));
  if (!h) throw lastErrorFailure("Cannot write file", shown, "open");
  if (identityOf(infoOf(h.get(), shown, "open")) != place.id)
    throw Failure(ERROR_FILE_INVALID, "\"" + shown + "\" was replaced while the build looked at it",
                  "open", "Run the build again");
  return h;
}

// True when the folder (ending in "\\") lets the running account do rights in it: the system's
// own check, which makes nothing. The error is left for the caller.
bool folderTakes(const std::wstring& folder, ACCESS_MASK rights) {
  Handle h(::CreateFileW(folder.c_str(), rights,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (h && !infoOf(h.get(), narrow(folder), "open").isFolder()) {
    ::SetLastError(ERROR_DIRECTORY);
    return false;
  }
  return static_cast<bool>(h);
}

// The journal a stopped build left for the table, or "" when there is none; one is only taken
// from the running account's state folder once that is checked. Where the account has no
// state folder to find, no build of its could have left one.
std::wstring pendingJournal(Files& files, const OutputPlace& place) {
  std::string state;
  try {
    state = files.userStateFolder();
  } catch (const Failure&) {
    return L"";
  }
  std::wstring journal = journalOf(widePath(state, "journal") + L"\\kelvane", place.id);
  if (::GetFileAttributesW(longPath(journal).c_str()) == INVALID_FILE_ATTRIBUTES) return L"";
  std::wstring folder = journalFolder(state);
  return folder.empty() ? L"" : journalOf(folder, place.id);
}

}  // namespace

std::unique_ptr<OutputFile> WinFiles::createOutput(const std::string& path) {
  const char* source = "open";
  OutputPlace place = placeOfOutput(path, source);
  if (place.exists) {
    refuseJournalBeside(place.target, path);
    // A build stopped while it wrote this table in place left its old bytes: they come back
    // before anything else is decided.
    std::wstring journal = pendingJournal(*this, place);
    if (!journal.empty() && putBackFromJournal(journal, place.target, path))
      warnings_.warn("kelvane: \"" + path +
                     "\" was put back as it was before a build that stopped while writing it "
                     "(from \"" +
                     narrow(journal) + "\")");
  }
  removeLeftovers(place.folder(), tempPrefix(place.target), place.exists, warnings_);
  Handle table;
  std::wstring journal;
  if (place.inPlace) {
    table = openToWrite(place, path);
    std::string state = userStateFolder();
    createPrivateFolders(state + "\\kelvane");
    journal = journalOf(journalFolder(state), place.id);
  }
  return std::make_unique<WinOutput>(path, place, std::move(table), std::move(journal));
}

void WinFiles::checkOutput(const std::string& path) {
  const char* source = "open";
  OutputPlace place = placeOfOutput(path, source);
  if (place.exists) {
    refuseJournalBeside(place.target, path);
    std::wstring journal = pendingJournal(*this, place);
    if (!journal.empty()) {
      checkJournal(journal, place.target, path);
      warnings_.warn("kelvane: a build stopped while writing \"" + path +
                     "\"; the next build puts back its old bytes from \"" + narrow(journal) +
                     "\" first");
    }
  }
  // The temporary file goes into the target's folder: asking for the right to add a file to
  // it is the system's own check of that, and adds nothing.
  if (place.target.back() == L'\\' || place.target.back() == L'/')
    throw errorFailure(ERROR_INVALID_NAME, "Cannot create file", path, source);
  if (!folderTakes(place.folder(), FILE_ADD_FILE))
    throw errorFailure(::GetLastError(), "Cannot create the new table's temporary file for", path,
                       source);
  if (!place.inPlace) return;
  // Written in place: the table itself is opened for writing, and its journal needs the state
  // folder, checked as the build checks it, or the right to make it.
  openToWrite(place, path);
  std::string state = userStateFolder();
  if (!journalFolder(state).empty()) return;
  // The build makes the missing levels: the nearest one there must take a folder.
  std::wstring at = fullPathOf(widePath(state, source), state, source);
  while (!at.empty() && ::GetFileAttributesW(longPath(at).c_str()) == INVALID_FILE_ATTRIBUTES)
    at = parentText(at);
  if (!at.empty() && at.back() != L'\\') at += L'\\';
  if (at.empty() || !folderTakes(longPath(at), FILE_ADD_SUBDIRECTORY))
    throw errorFailure(at.empty() ? ERROR_PATH_NOT_FOUND : ::GetLastError(),
                       "Cannot create the journal folder in", state, source);
}

}  // namespace kelvane
