#include "win/win_watches.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <list>
#include <map>
#include <utility>
#include <vector>

#include "base/failure.h"
#include "win/win_support.h"

namespace kelvane {
namespace {

using win::Handle;

constexpr DWORD kFolderChanges =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
// Changes the system keeps for a folder between two reads; 64 KiB is the most a share takes.
constexpr DWORD kBufferBytes = 64 * 1024;

// The event the console's handler sets; the handler has no other way to reach the watches.
HANDLE consoleEnd = nullptr;

BOOL WINAPI onConsoleEnd(DWORD type) {
  ::SetEvent(consoleEnd);
  // The console is going away and the process with it once this returns: the build that
  // runs gets what time the system allows to end, rather than none.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
    ::Sleep(INFINITE);
  return TRUE;
}

class WinWatches : public Watches {
 public:
  WinWatches() {
    end_ =
        Handle(::CreateEventW(nullptr, TRUE, FALSE, endEventName(::GetCurrentProcessId()).c_str()));
    // The event's security is the account's own; one made before by anyone else would let
    // them end the following.
    if (!end_ || ::GetLastError() == ERROR_ALREADY_EXISTS)
      throw win::errorFailure(end_ ? ERROR_ALREADY_EXISTS : ::GetLastError(),
                              "Cannot make the event that ends following",
                              win::narrow(endEventName(::GetCurrentProcessId())), "CreateEventW");
    // A window program has no console of its own: Ctrl+C in the one it was started from
    // ends it too.
    ::AttachConsole(ATTACH_PARENT_PROCESS);
    consoleEnd = end_.get();
    ::SetConsoleCtrlHandler(onConsoleEnd, TRUE);
  }
  ~WinWatches() override {
    ::SetConsoleCtrlHandler(onConsoleEnd, FALSE);
    consoleEnd = nullptr;
    for (auto& [id, folder] : folders_) retire(std::move(folder));
    // The system writes into a cancelled read's buffer until its completion has come; one
    // that never comes keeps its buffer for good rather than the program waiting for ever.
    for (int tries = 0; !retired_.empty() && tries < 50; ++tries) ::SleepEx(100, TRUE);
    for (auto& folder : retired_) folder.release();
  }

  WatchStart watchFolder(const std::string& path) override {
    Handle h(::CreateFileW(win::widePath(path, "watch folder").c_str(), FILE_LIST_DIRECTORY,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                           nullptr));
    if (!h) return refused(::GetLastError(), path);
    win::HandleInfo info = win::infoOf(h.get(), path, "watch folder");
    if (!info.isFolder()) return {WatchStart::NoFolder};
    // One folder, one watch, however it is named.
    FileIdentity identity = win::identityOf(info);
    for (const auto& [id, folder] : folders_)
      if (folder->identity == identity) return {WatchStart::Watching, id};
    auto folder = std::make_unique<Folder>();
    folder->owner = this;
    folder->id = next_;
    folder->path = path;
    folder->identity = identity;
    folder->handle = std::move(h);
    if (!read(*folder)) return refused(::GetLastError(), path);
    folders_[next_] = std::move(folder);
    return {WatchStart::Watching, next_++};
  }

  void unwatch(int watch) override {
    auto at = folders_.find(watch);
    if (at == folders_.end()) return;
    retire(std::move(at->second));
    folders_.erase(at);
  }

  double now() override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  WatchWake wait(std::optional<double> timeout) override {
    double until = timeout ? now() + std::min(*timeout, 86400.0) : 0;
    for (;;) {
      DWORD ms = INFINITE;
      if (timeout) ms = static_cast<DWORD>(std::ceil(std::max(0.0, until - now()) * 1000));
      // Completions that came while the program was busy are taken first.
      if (!wake_.events.empty() || wake_.overflowed) ms = 0;
      DWORD got = ::WaitForSingleObjectEx(end_.get(), ms, TRUE);
      if (got == WAIT_OBJECT_0) wake_.stop = true;
      if (got == WAIT_FAILED)
        throw win::lastErrorFailure("Cannot wait for changes", "", "WaitForSingleObjectEx");
      if (got != WAIT_IO_COMPLETION || !wake_.events.empty() || wake_.overflowed) break;
    }
    return std::exchange(wake_, WatchWake());
  }

  // Windows has no service manager that listens.
  void tellService(const std::string&) override {}
  double watchdogSeconds() override { return 0; }

  std::string timeText() override {
    SYSTEMTIME t{};
    ::GetSystemTime(&t);
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return text;
  }

  // The buffer the system keeps is the program's own choice, and the handles a process may
  // hold have no setting.
  std::string limitSetting(WatchLimit) override { return ""; }

 private:
  struct Folder {
    WinWatches* owner = nullptr;
    int id = -1;
    std::string path;
    FileIdentity identity;
    Handle handle;
    bool reading = false;  // a read is pending: the system may write into the buffer
    OVERLAPPED overlapped{};
    std::unique_ptr<DWORD[]> buffer{new DWORD[kBufferBytes / sizeof(DWORD)]};
  };

  WatchStart refused(DWORD err, const std::string& path) {
    switch (err) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_DIRECTORY:
      case ERROR_ACCESS_DENIED:
      case ERROR_INVALID_NAME:
      case ERROR_BAD_NETPATH:
      case ERROR_BAD_NET_NAME:
      case ERROR_NOT_READY:
      case ERROR_INVALID_FUNCTION:  // a file system that keeps no watches
      case ERROR_INVALID_PARAMETER:
        return {WatchStart::NoFolder};
      case ERROR_NOT_ENOUGH_MEMORY:
      case ERROR_OUTOFMEMORY:
      case ERROR_NO_SYSTEM_RESOURCES:
      case ERROR_NOT_ENOUGH_QUOTA:
      case ERROR_TOO_MANY_OPEN_FILES:
        return {WatchStart::LimitReached};
      default:
        throw win::errorFailure(err, "Cannot watch the folder", path, "ReadDirectoryChangesW");
    }
  }

  // Asks for the folder's next changes; they come to done() during a wait.
  static bool read(Folder& folder) {
    folder.overlapped = OVERLAPPED{};
    folder.overlapped.hEvent = &folder;  // free for the caller's use with a completion routine
    folder.reading =
        ::ReadDirectoryChangesW(folder.handle.get(), folder.buffer.get(), kBufferBytes, FALSE,
                                kFolderChanges, nullptr, &folder.overlapped, done);
    return folder.reading;
  }

  static VOID CALLBACK done(DWORD err, DWORD bytes, OVERLAPPED* overlapped) {
    auto* folder = static_cast<Folder*>(overlapped->hEvent);
    folder->owner->take(*folder, err, bytes);
  }

  void take(Folder& folder, DWORD err, DWORD bytes) {
    folder.reading = false;
    if (folder.id < 0) {
      retired_.remove_if([&](const std::unique_ptr<Folder>& f) { return f.get() == &folder; });
      return;
    }
    FolderChanges changes = folderChangesOf(folder.id, err, bytes, folder.buffer.get());
    for (WatchEvent& event : changes.events) wake_.events.push_back(std::move(event));
    wake_.overflowed = wake_.overflowed || changes.overflowed;
    // A folder moved away keeps its handle, but is no longer at the path the build reads.
    if (!changes.ended && !movedAway(folder) && read(folder)) return;
    wake_.events.push_back({folder.id, "", true});
    unwatch(folder.id);
  }

  // The handle keeps the folder it opened wherever it goes: the path must still lead there.
  static bool movedAway(const Folder& folder) {
    try {
      Handle h = win::openForLooking(win::widePath(folder.path, "watch folder"), true);
      return !h ||
             win::identityOf(win::infoOf(h.get(), folder.path, "watch folder")) != folder.identity;
    } catch (const Failure&) {
      return true;
    }
  }

  // A cancelled read's completion still comes: the folder is kept until then.
  void retire(std::unique_ptr<Folder> folder) {
    folder->id = -1;
    if (!folder->reading) return;
    ::CancelIoEx(folder->handle.get(), &folder->overlapped);
    retired_.push_back(std::move(folder));
  }

  Handle end_;
  std::map<int, std::unique_ptr<Folder>> folders_;
  std::list<std::unique_ptr<Folder>> retired_;
  WatchWake wake_;  // what completions brought since the last wait
  int next_ = 1;
};

}  // namespace

std::wstring endEventName(unsigned long processId) {
  return L"Local\\kelvane-follow-" + std::to_wstring(processId);
}

FolderChanges folderChangesOf(int watch, unsigned long err, unsigned long bytes,
                              const void* buffer) {
  FolderChanges changes;
  if (err == ERROR_SUCCESS && bytes == 0) err = ERROR_NOTIFY_ENUM_DIR;  // as the system says it
  if (err == ERROR_NOTIFY_ENUM_DIR) {
    changes.overflowed = true;
  } else if (err != ERROR_SUCCESS) {
    // The folder is being removed (the handle keeps it until closed), or its volume went.
    changes.ended = true;
  } else {
    const auto* start = static_cast<const BYTE*>(buffer);
    for (DWORD at = 0; at + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
      const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(start + at);
      WatchEvent event{watch, win::narrow(std::wstring_view(
                                  change->FileName, change->FileNameLength / sizeof(WCHAR)))};
      event.written = change->Action == FILE_ACTION_MODIFIED;
      changes.events.push_back(std::move(event));
      if (change->NextEntryOffset == 0) break;
      at += change->NextEntryOffset;
    }
  }
  return changes;
}

std::unique_ptr<Watches> openWinWatches() { return std::make_unique<WinWatches>(); }

}  // namespace kelvane
