// The Windows watches on real folders: each change made waits for the event it must bring
// (bounded only so that one that never comes fails rather than hangs), and the end request
// through the named event.
#include "win/win_watches.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <memory>

#include "base/failure.h"
#include "tests/win/win_scratch.h"
#include "win/win_support.h"

namespace kelvane::testing {
namespace {

using win::wide;

// How long an event may take to come before the test fails; events come in milliseconds.
constexpr double kMostSeconds = 30;

class WinWatches : public ::testing::Test {
 protected:
  void SetUp() override {
    t.folder("src\\old");
    t.file("src\\notes.txt", "one");
    watches = openWinWatches();
  }
  int watch(const std::string& relative) {
    WatchStart start = watches->watchFolder(t / relative);
    EXPECT_EQ(start.result, WatchStart::Watching) << relative;
    return start.watch;
  }
  // The events of every wake until one is like wanted (or, failing, the time is up).
  std::vector<WatchEvent> until(const std::function<bool(const WatchEvent&)>& wanted) {
    std::vector<WatchEvent> seen;
    double end = watches->now() + kMostSeconds;
    while (watches->now() < end) {
      WatchWake wake = watches->wait(end - watches->now());
      EXPECT_FALSE(wake.stop);
      EXPECT_FALSE(wake.overflowed);
      for (const WatchEvent& event : wake.events) {
        seen.push_back(event);
        if (wanted(event)) return seen;
      }
    }
    std::string came;
    for (const WatchEvent& e : seen) came += " \"" + e.name + (e.folderGone ? "\" gone" : "\"");
    ADD_FAILURE() << "the event never came; came:" << came;
    return seen;
  }

  WinScratch t;
  std::unique_ptr<Watches> watches;
};

struct ChangeCase {
  const char* name;
  std::function<void(WinScratch&)> change;
  std::vector<std::string> names;  // of the entries it concerns, in the order they come
  bool written = false;
};

class WinWatchChanges : public WinWatches, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(WinWatchChanges, EachChangeInTheFolderBringsItsEvents) {
  const ChangeCase& c = GetParam();
  int src = watch("src");
  c.change(t);
  std::vector<WatchEvent> seen;
  for (const std::string& name : c.names)
    for (const WatchEvent& event : until([&](const WatchEvent& e) { return e.name == name; }))
      seen.push_back(event);
  ASSERT_FALSE(seen.empty());
  const WatchEvent& last = seen.back();
  EXPECT_EQ(last.watch, src);
  EXPECT_FALSE(last.folderGone);
  EXPECT_EQ(last.written, c.written);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WinWatchChanges,
    ::testing::Values(
        ChangeCase{"ASubfolderMade", [](WinScratch& t) { t.folder("src\\new"); }, {"new"}},
        ChangeCase{"ASubfolderRemoved", [](WinScratch& t) { removeTree(t / "src\\old"); }, {"old"}},
        ChangeCase{"AFileWritten",
                   [](WinScratch& t) { t.file("src\\notes.txt", "two"); },
                   {"notes.txt"},
                   true}),
    [](const auto& info) { return std::string(info.param.name); });

// The watched folder moved away ends its watch, at the latest at its next change: it is no
// longer where the build reads it.
TEST_F(WinWatches, TheFolderMovedAwayEndsItsWatch) {
  int src = watch("src");
  ASSERT_TRUE(::MoveFileW(wide(t / "src").c_str(), wide(t / "moved").c_str()));
  t.folder("moved\\new");
  until([&](const WatchEvent& e) { return e.watch == src && e.folderGone; });
}

// More changes than the buffer holds between two reads are said to be lost, and the watch
// goes on.
TEST_F(WinWatches, ChangesBeyondTheBufferAreSaidToBeLostAndTheWatchGoesOn) {
  watch("src");
  std::string longName(100, 'n');
  for (int i = 0; i < 600; ++i) t.folder("src\\" + longName + std::to_string(i));
  bool overflowed = false;
  double end = watches->now() + kMostSeconds;
  while (!overflowed && watches->now() < end)
    overflowed = watches->wait(end - watches->now()).overflowed;
  EXPECT_TRUE(overflowed);
  t.folder("src\\after");
  until([](const WatchEvent& e) { return e.name == "after"; });
}

// The watched folder removed ends its watch; a watch on another folder goes on.
TEST_F(WinWatches, TheFolderRemovedEndsItsWatch) {
  if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
    GTEST_SKIP() << "Wine 8 tells a watch of its folder's entries removed, never of the folder";
  t.folder("other");
  int src = watch("src");
  int other = watch("other");
  removeTree(t / "src");
  until([&](const WatchEvent& e) { return e.watch == src && e.folderGone; });
  // Gone for good: the folder can be made again by its name.
  t.folder("src");
  t.folder("other\\still");
  std::vector<WatchEvent> seen = until([&](const WatchEvent& e) { return e.watch == other; });
  EXPECT_EQ(seen.back().name, "still");
  EXPECT_FALSE(seen.back().folderGone);
}

// NoFolder where no folder is, a file included; one folder by two spellings is one watch.
TEST_F(WinWatches, OnlyAFolderIsWatchedAndOnceHoweverItIsNamed) {
  EXPECT_EQ(watches->watchFolder(t / "missing").result, WatchStart::NoFolder);
  EXPECT_EQ(watches->watchFolder(t / "missing\\deeper").result, WatchStart::NoFolder);
  EXPECT_EQ(watches->watchFolder(t / "src\\notes.txt").result, WatchStart::NoFolder);
  int src = watch("src");
  EXPECT_EQ(watch("src\\"), src);
  EXPECT_EQ(watch("src\\old\\.."), src);
  EXPECT_NE(watch("src\\old"), src);
}

// A folder no longer watched brings nothing, while another still does.
TEST_F(WinWatches, AFolderUnwatchedBringsNoMoreEvents) {
  t.folder("other");
  int src = watch("src");
  int other = watch("other");
  watches->unwatch(src);
  t.folder("src\\unseen");
  t.folder("other\\seen");
  for (const WatchEvent& event : until([&](const WatchEvent& e) { return e.name == "seen"; }))
    EXPECT_EQ(event.watch, other) << event.name;
}

// The named event ends the wait, and every wait after it; nothing else does.
TEST_F(WinWatches, TheEndEventEndsTheWait) {
  EXPECT_FALSE(watches->wait(0).stop);
  win::Handle end(
      ::OpenEventW(EVENT_MODIFY_STATE, FALSE, endEventName(::GetCurrentProcessId()).c_str()));
  ASSERT_TRUE(end);
  ASSERT_TRUE(::SetEvent(end.get()));
  EXPECT_TRUE(watches->wait(std::nullopt).stop);
  EXPECT_TRUE(watches->wait(0).stop);
}

// An end event that someone made before the program could is not trusted: following does
// not start.
TEST(WinWatchesEnd, AnEndEventMadeBeforeIsRefused) {
  win::Handle squatted(
      ::CreateEventW(nullptr, TRUE, FALSE, endEventName(::GetCurrentProcessId()).c_str()));
  ASSERT_TRUE(squatted);
  EXPECT_THROW(openWinWatches(), Failure);
  squatted = win::Handle();
  EXPECT_NE(openWinWatches(), nullptr);
}

// What a completed read says, from buffers and errors as the system gives them: where a real
// folder cannot fail a read at will, and for the renames Wine never tells.
// Each entry at a stride of 64 bytes, which holds a short name.
std::vector<DWORD> notifications(std::initializer_list<std::pair<DWORD, std::wstring>> changes) {
  std::vector<DWORD> buffer(changes.size() * 16);
  for (size_t i = 0; i < changes.size(); ++i) {
    const auto& [action, name] = changes.begin()[i];
    auto* change = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(buffer.data() + i * 16);
    change->NextEntryOffset = i + 1 < changes.size() ? 64 : 0;
    change->Action = action;
    change->FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
    std::copy(name.begin(), name.end(), change->FileName);
  }
  return buffer;
}

TEST(WinFolderChanges, EachActionAndEachWayAReadEnds) {
  std::vector<DWORD> buffer = notifications({{FILE_ACTION_ADDED, L"new"},
                                             {FILE_ACTION_REMOVED, L"gone"},
                                             {FILE_ACTION_RENAMED_OLD_NAME, L"before"},
                                             {FILE_ACTION_RENAMED_NEW_NAME, L"after \u00e9"},
                                             {FILE_ACTION_MODIFIED, L"notes.txt"}});
  DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
  FolderChanges changes = folderChangesOf(7, ERROR_SUCCESS, bytes, buffer.data());
  EXPECT_FALSE(changes.overflowed);
  EXPECT_FALSE(changes.ended);
  ASSERT_EQ(changes.events.size(), 5u);
  std::vector<std::string> names;
  for (const WatchEvent& event : changes.events) {
    names.push_back(event.name + (event.written ? " written" : ""));
    EXPECT_EQ(event.watch, 7);
    EXPECT_FALSE(event.folderGone);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"new", "gone", "before", "after \xc3\xa9",
                                             "notes.txt written"}));

  // Nothing read although the read succeeded, or said outright: the changes were dropped.
  for (DWORD err : {DWORD(ERROR_SUCCESS), DWORD(ERROR_NOTIFY_ENUM_DIR)}) {
    changes = folderChangesOf(7, err, 0, buffer.data());
    EXPECT_TRUE(changes.overflowed) << err;
    EXPECT_FALSE(changes.ended) << err;
    EXPECT_TRUE(changes.events.empty()) << err;
  }
  // The folder being removed, or the handle no longer good: no more can be read.
  for (DWORD err : {DWORD(ERROR_ACCESS_DENIED), DWORD(ERROR_INVALID_HANDLE)}) {
    changes = folderChangesOf(7, err, 0, buffer.data());
    EXPECT_TRUE(changes.ended) << err;
    EXPECT_FALSE(changes.overflowed) << err;
  }
}

}  // namespace
}  // namespace kelvane::testing
