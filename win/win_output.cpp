// The output table replaced only when a build completes.

#include <algorithm>

#include "win/win_file_system.h"
#include "win/win_support.h"
#include "win/win_table_journal.h"

namespace kelvane {

using namespace win;

namespace {

// The new table goes to a hidden file beside the old one, named after it (the lock keeps
// two builds of one table apart, and the next build removes one a killed build left).
// commit() puts it in place with ReplaceFileW, which keeps the old file's attributes and
// security; a table with several names is written in place so that every name sees it.
class WinOutput : public OutputFile {
 public:
  WinOutput(std::string shown, std::wstring target, bool exists, bool inPlace)
      : shown_(std::move(shown)),
        target_(std::move(target)),
        temp_(target_ + L".kelvane"),
        backup_(temp_ + L"-old"),
        exists_(exists),
        inPlace_(inPlace) {
    // A leftover is removed, not opened: whatever is at that name (a link someone put
    // there, say) must not lead the new table anywhere else.
    ::DeleteFileW(temp_.c_str());
    temp_h_ =
        Handle(::CreateFileW(temp_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!temp_h_)
      throw lastErrorFailure("Cannot create the new table's temporary file", narrow(temp_), "open");
  }
  ~WinOutput() override {
    temp_h_ = Handle();
    if (!committed_) ::DeleteFileW(temp_.c_str());
  }

  void write(std::string_view bytes) override { writeAll(temp_h_.get(), bytes, shown_); }

  void commit() override {
    if (inPlace_) return commitInPlace();
    if (!::FlushFileBuffers(temp_h_.get()))
      throw lastErrorFailure("Cannot write file", shown_, "flush");
    temp_h_ = Handle();
    // A new table is not hidden; a replaced one takes the old file's attributes.
    if (!exists_) ::SetFileAttributesW(temp_.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!exists_) {
      if (!::MoveFileExW(temp_.c_str(), target_.c_str(), MOVEFILE_WRITE_THROUGH))
        throw lastErrorFailure("Cannot replace file", shown_, "MoveFileExW");
      committed_ = true;
      return;
    }
    // The old table passes through a backup name, so that a replace that fails halfway (a
    // scanner holding the new file, say) can always give the table back.
    if (::ReplaceFileW(target_.c_str(), temp_.c_str(), backup_.c_str(),
                       REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
      committed_ = true;
      ::DeleteFileW(backup_.c_str());
      return;
    }
    DWORD err = ::GetLastError();
    // The old table has moved to the backup name and the new one could not take its place.
    if (err == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 &&
        !::MoveFileExW(backup_.c_str(), target_.c_str(), MOVEFILE_WRITE_THROUGH)) {
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
  // The room the new table needs is taken first, so a full disk fails with the table as it
  // was; it is written from the start and cut to its length last, so that no old tail stays
  // after a shorter one.
  void commitInPlace() {
    Handle out(::CreateFileW(target_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) throw lastErrorFailure("Cannot write file", shown_, "open");
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(temp_h_.get(), &length))
      throw lastErrorFailure("Cannot read the new table back from", narrow(temp_), "size");
    // Only room beyond the table's end is asked for: an allocation below it would cut it. A
    // file system that sets no room aside is written at a venture; a full one fails here.
    LARGE_INTEGER now{};
    FILE_ALLOCATION_INFO room{};
    room.AllocationSize = length;
    if (::GetFileSizeEx(out.get(), &now) && length.QuadPart > now.QuadPart &&
        !::SetFileInformationByHandle(out.get(), FileAllocationInfo, &room, sizeof room)) {
      DWORD err = ::GetLastError();
      if (err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL || err == ERROR_NOT_ENOUGH_QUOTA)
        throw errorFailure(err, "Cannot write file", shown_, "allocate");
    }
    // The old bytes first, whole and flushed, where the next build finds them.
    std::wstring journal = journalOf(target_);
    writeJournal(journal, out.get(), shown_);
    try {
      LARGE_INTEGER start{};
      ::SetFilePointerEx(temp_h_.get(), start, nullptr, FILE_BEGIN);
      ::SetFilePointerEx(out.get(), start, nullptr, FILE_BEGIN);
      char buffer[64 * 1024];
      for (DWORD n = 0;;) {
        if (!::ReadFile(temp_h_.get(), buffer, sizeof buffer, &n, nullptr))
          throw lastErrorFailure("Cannot read the new table back from", narrow(temp_), "read");
        if (n == 0) break;
        writeAll(out.get(), std::string_view(buffer, n), shown_);
      }
      if (!::SetEndOfFile(out.get())) throw lastErrorFailure("Cannot write file", shown_, "cut");
      if (!::FlushFileBuffers(out.get()))
        throw lastErrorFailure("Cannot write file", shown_, "flush");
    } catch (const Failure& failed) {
      out = Handle();
      try {
        putBackFromJournal(journal, target_, shown_);
      } catch (const Failure& again) {
        throw Failure(failed.number(),
                      failed.description() + "; putting its old bytes back failed too (" +
                          again.description() + ")",
                      failed.source(),
                      "The old table is kept in \"" + narrow(journal) +
                          "\": the next build puts it back before anything else");
      }
      throw;
    }
    ::DeleteFileW(journal.c_str());
  }

  std::string shown_;
  std::wstring target_;
  std::wstring temp_;
  std::wstring backup_;
  Handle temp_h_;
  bool exists_;
  bool inPlace_;
  bool committed_ = false;
};

// What createOutput finds at path: the target to write (a link's is what it leads to), and
// whether a table is there already. Anything that cannot become the table fails now, before
// the old mirror folders are gone, and nothing is changed.
struct OutputPlace {
  std::wstring target;
  bool exists = false;
  bool inPlace = false;
};

OutputPlace placeOfOutput(const std::string& path, const char* source) {
  // No name is no table: it would make ".kelvane" in the current folder and fail only when
  // put in place.
  if (path.empty()) throw errorFailure(ERROR_PATH_NOT_FOUND, "Cannot create file", path, source);
  OutputPlace place{widePath(path, source)};
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
  }
  return place;
}

}  // namespace

std::unique_ptr<OutputFile> WinFiles::createOutput(const std::string& path) {
  OutputPlace place = placeOfOutput(path, "open");
  // A build stopped while it wrote this table in place left its old bytes: they come back
  // before anything else is decided.
  if (place.exists && putBackFromJournal(journalOf(place.target), place.target, path))
    warnings_.warn("kelvane: \"" + path +
                   "\" was put back as it was before a build that stopped while " + "writing it");
  return std::make_unique<WinOutput>(path, place.target, place.exists, place.inPlace);
}

void WinFiles::checkOutput(const std::string& path) {
  const char* source = "open";
  OutputPlace place = placeOfOutput(path, source);
  if (place.exists &&
      ::GetFileAttributesW(journalOf(place.target).c_str()) != INVALID_FILE_ATTRIBUTES)
    warnings_.warn("kelvane: a build stopped while writing \"" + path +
                   "\"; the next build puts back its old bytes first");
  // The temporary file goes into the target's folder: asking for the right to add a file to
  // it is the system's own check of that, and adds nothing.
  std::wstring folder = place.target.substr(0, place.target.find_last_of(L"\\/") + 1);
  if (place.target.back() == L'\\' || place.target.back() == L'/')
    throw errorFailure(ERROR_INVALID_NAME, "Cannot create file", path, source);
  Handle h(::CreateFileW(folder.empty() ? L"." : folder.c_str(), FILE_ADD_FILE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h || !infoOf(h.get(), path, source).isFolder())
    throw errorFailure(h ? ERROR_PATH_NOT_FOUND : ::GetLastError(),
                       "Cannot create the new table's temporary file for", path, source);
}

}  // namespace kelvane
