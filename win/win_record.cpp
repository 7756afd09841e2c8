// The last build's record: read only from a plain file of the running account's, in its own
// state folder, that no other account can change; written whole through a new file of
// unguessable name that only this account and the system's own may open, flushed, and moved
// over the old one.

#include "base/failure.h"
#include "win/win_file_system.h"
#include "win/win_nt.h"
#include "win/win_security.h"
#include "win/win_support.h"
#include "win/win_table_journal.h"
#include "win/win_temp_files.h"

namespace kelvane {

using namespace win;

namespace {

const char* const kSource = "build record";
const char* const kFolder = "record's folder";
// What would let another account change what the record says, or put another in its place.
constexpr ACCESS_MASK kChange = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER;

class RecordFile : public RecordInput {
 public:
  RecordFile(Handle h, std::string path) : h_(std::move(h)), path_(std::move(path)) {}
  size_t read(char* buffer, size_t size) override {
    DWORD n = 0;
    if (!::ReadFile(h_.get(), buffer, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), &n,
                    nullptr))
      throw lastErrorFailure("Cannot read file", path_, "read");
    return n;
  }
  void restart() override {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(h_.get(), start, nullptr, FILE_BEGIN))
      throw lastErrorFailure("Cannot read file", path_, "seek");
  }

 private:
  Handle h_;
  std::string path_;
};

// Written under its temporary name, moved over the record on commit; destroyed uncommitted,
// it leaves no file behind.
class RecordOutput : public OutputFile {
 public:
  RecordOutput(Handle h, std::wstring temp, std::wstring target, std::string path)
      : h_(std::move(h)),
        temp_(std::move(temp)),
        target_(std::move(target)),
        path_(std::move(path)) {}
  ~RecordOutput() override {
    if (committed_) return;
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (h_)
      ::SetFileInformationByHandle(h_.get(), FileDispositionInfo, &disposition, sizeof disposition);
    else
      ::DeleteFileW(longPath(temp_).c_str());
  }
  void write(std::string_view bytes) override {
    buffer_.append(bytes);
    if (buffer_.size() >= kBufferSize) flush();
  }
  void commit() override {
    flush();
    if (!::FlushFileBuffers(h_.get())) throw lastErrorFailure("Cannot write file", path_, "flush");
    h_ = Handle();
    if (!::MoveFileExW(longPath(temp_).c_str(), longPath(target_).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      throw lastErrorFailure("Cannot replace file", path_, "rename");
    committed_ = true;
  }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;
  void flush() {
    writeAll(h_.get(), buffer_, path_);
    buffer_.clear();
  }

  Handle h_;
  std::wstring temp_, target_;
  std::string path_;
  std::string buffer_;
  bool committed_ = false;
};

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
  throw Failure(ERROR_ACCESS_DENIED, "Refused the last build's record \"" + path + "\": " + why,
                kSource);
}

}  // namespace

std::unique_ptr<RecordInput> WinFiles::openRecord(const std::string& path) {
  std::wstring target = widePath(path, kSource);
  if (ownStateFolder(parentText(target), kFolder).empty()) return nullptr;
  // Shared for reading only: nothing changes it while it is read.
  Handle h(::CreateFileW(longPath(target).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                         nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!h) {
    DWORD err = ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return nullptr;
    throw errorFailure(err, "Cannot open file", path, kSource);
  }
  HandleInfo info = infoOf(h.get(), path, kSource);
  if (::GetFileType(h.get()) != FILE_TYPE_DISK || info.isFolder() || info.isReparse())
    refuse(path, "it must be a plain file, and a folder, link or junction is there");
  // Another account's record is no record of a build this account ran; and only this program
  // makes records, each with one name.
  if (!ownedByRunningAccount(h.get()))
    refuse(path, "it belongs to another account than the one running this build");
  if (info.info.nNumberOfLinks != 1)
    refuse(path, "it has " + std::to_string(info.info.nNumberOfLinks) + " names");
  std::string stranger = strangerWithRights(h.get(), kChange);
  if (!stranger.empty()) refuse(path, "it can be changed by " + stranger);
  return std::make_unique<RecordFile>(std::move(h), path);
}

std::unique_ptr<OutputFile> WinFiles::createRecord(const std::string& path) {
  std::wstring target = widePath(path, kSource);
  std::wstring folder = parentText(target);
  createPrivateFolders(narrow(folder));
  if (ownStateFolder(folder, kFolder).empty())
    throw errorFailure(ERROR_PATH_NOT_FOUND, "Cannot create file", path, kSource);
  Handle held(::CreateFileW(longPath(folder).c_str(), READ_CONTROL,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!held) throw lastErrorFailure("Cannot create file", path, kSource);
  // Builds of one link root take turns: a temporary file of its record is one a stopped
  // build left.
  std::wstring prefix = tempPrefix(target);
  removeLeftovers(folder + L"\\", prefix, true, warnings_);
  // Open to the same few accounts as a lock file made there: this one and the system's own.
  LockSecurity security(held.get());
  std::wstring temp;
  Handle h = createUnguessable(folder + L"\\", prefix, temp, path, security.get());
  return std::make_unique<RecordOutput>(std::move(h), temp, target, path);
}

}  // namespace kelvane
