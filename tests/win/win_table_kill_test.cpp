// After a fault inside the build, or kelvane.exe ended by TerminateProcess, at any step of
// putting the table in place, by ReplaceFileW or written over behind its journal, the next
// build finds exactly the old table or exactly the new one, and leaves no journal and no
// temporary file behind.

#include <gtest/gtest.h>
#include <windows.h>

#include "base/failure.h"
#include "engine/build_run.h"
#include "startup/form_load.h"
#include "tests/support/scratch_tree.h"
#include "tests/win/win_platform_fixture.h"
#include "win/win_table_journal.h"

namespace kelvane {
namespace {

using namespace testing;

long stepsLeft = 0;
void failAtStep(const char* step) {
  if (--stepsLeft == 0)
    throw Failure(ERROR_GEN_FAILURE, std::string("Injected at ") + step, "test");
}

class WinTableKill : public ::testing::Test {
 protected:
  void SetUp() override {
    t.file("iso\\debian\\readme.txt", "d");
    t.file("old.vfs", "old|line\r\n");
    // Long enough that its journal and its write take several pieces each.
    for (int i = 0; i < 3000; ++i)
      original += "the server's own line " + std::to_string(i) + "\r\n";
    t.folder("state");
    t.folder("prog");
    ASSERT_TRUE(::CopyFileW(win::wide(wineDrivePath(KELVANE_STOPPING_EXE)).c_str(),
                            win::wide(t / "prog\\kelvane.exe").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW(win::wide(wineDrivePath(KELVANE_EXE)).c_str(),
                            win::wide(t / "prog\\shipped.exe").c_str(), FALSE));
    t.file("prog\\build.dat", settingsText({t / "links", t / "out\\table.vfs", t / "old.vfs",
                                            "/merged", "anon", "users", "755"},
                                           {t / "iso\\"}));
    wchar_t saved[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableW(L"LOCALAPPDATA", saved, MAX_PATH);
    savedState_ = n && n < MAX_PATH ? std::wstring(saved, n) : L"";
    ::SetEnvironmentVariableW(L"LOCALAPPDATA", win::wide(t / "state").c_str());
  }
  void TearDown() override {
    win::tableFaultHook = nullptr;
    ::SetEnvironmentVariableW(L"LOCALAPPDATA", savedState_.empty() ? nullptr : savedState_.c_str());
  }

  // The table as the server had it; with a second name when written in place.
  void putBackOriginal(bool inPlace) {
    ::DeleteFileW(win::wide(t / "out\\alias.vfs").c_str());
    ::DeleteFileW(win::wide(t / "out\\table.vfs").c_str());
    t.file("out\\table.vfs", original);
    if (inPlace) {
      ASSERT_TRUE(::CreateHardLinkW(win::wide(t / "out\\alias.vfs").c_str(),
                                    win::wide(t / "out\\table.vfs").c_str(), nullptr));
    }
  }
  void build() {
    AppState state;
    ASSERT_EQ(formLoad(platform, "?" + (t / "prog\\build.dat"), state), RunMode::Build);
    runBuild(platform, state);
  }
  long countSteps() {
    stepsLeft = -1000000;
    win::tableFaultHook = failAtStep;
    build();
    win::tableFaultHook = nullptr;
    return -1000000 - stepsLeft;
  }
  // kelvane.exe, stopped at step k and ended there; false when it never got there.
  bool killAt(long k, const char* program = "kelvane.exe") {
    std::wstring event = L"kelvane-stop-" + std::to_wstring(::GetCurrentProcessId());
    win::Handle stopped(::CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    ::SetEnvironmentVariableW(L"KELVANE_STOP_AT", std::to_wstring(k).c_str());
    ::SetEnvironmentVariableW(L"KELVANE_STOP_EVENT", event.c_str());
    std::wstring line =
        L"\"" + win::wide(t / "prog\\" + program) + L"\" ?" + win::wide(t / "prog\\build.dat");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    bool started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                    win::wide(t.path()).c_str(), &startup, &process);
    ::SetEnvironmentVariableW(L"KELVANE_STOP_AT", nullptr);
    if (!started) return false;
    win::Handle child(process.hProcess), thread(process.hThread);
    // Either it stops there, or it ends (or, failing, waits for a person) without stopping.
    HANDLE both[] = {stopped.get(), child.get()};
    DWORD woke = ::WaitForMultipleObjects(2, both, FALSE, 60000);
    ::TerminateProcess(child.get(), 9);
    ::WaitForSingleObject(child.get(), INFINITE);
    return woke == WAIT_OBJECT_0;
  }
  // What the next build finds once it has put back what a journal holds.
  std::string tableFoundNext() {
    platform.files.createOutput(t / "out\\table.vfs");  // never committed: changes nothing else
    return t.read("out\\table.vfs");
  }
  // What a build keeps beside the table while it replaces it, and journals; the record a
  // complete build leaves for the next one is meant to stay.
  Names leftovers() {
    Names left;
    for (const std::string& name : t.tree("out"))
      if (name.find(".tmp") != std::string::npos || name.find(".old") != std::string::npos)
        left.push_back(name);
    for (const std::string& name : t.tree("state"))
      if (name != "kelvane\\" && name.rfind("kelvane\\record-", 0) != 0) left.push_back(name);
    return left;
  }

  WinScratch t;
  SystemPlatform platform;
  std::string original;
  std::wstring savedState_;
};

TEST_F(WinTableKill, AFaultOrAKillAtAnyStepLeavesTheOldTableOrTheNewOne) {
  for (bool inPlace : {false, true}) {
    putBackOriginal(inPlace);
    long steps = countSteps();
    std::string expected = t.read("out\\table.vfs");
    ASSERT_NE(expected, original);
    // The program as shipped has no such stop: it builds to the end.
    putBackOriginal(inPlace);
    EXPECT_FALSE(killAt(1, "shipped.exe"));
    EXPECT_EQ(t.read("out\\table.vfs"), expected);
    ASSERT_GT(steps, inPlace ? 8 : 3);
    for (bool kill : {false, true}) {
      for (long k = 1; k <= steps; ++k) {
        SCOPED_TRACE((inPlace ? "in place, " : "by replace, ") +
                     std::string(kill ? "kill" : "fault") + " at step " + std::to_string(k) +
                     " of " + std::to_string(steps));
        putBackOriginal(inPlace);
        if (kill) {
          EXPECT_TRUE(killAt(k)) << "not stopped there";
        } else {
          stepsLeft = k;
          win::tableFaultHook = failAtStep;
          // A build that lives through its fault leaves the old table or the new one.
          EXPECT_THROW(build(), Failure);
          win::tableFaultHook = nullptr;
          std::string left = t.read("out\\table.vfs");
          EXPECT_TRUE(left == original || left == expected) << left.size() << " bytes";
        }
        std::string found = tableFoundNext();
        EXPECT_TRUE(found == original || found == expected) << found.size() << " bytes";
        if (inPlace) {
          EXPECT_EQ(t.read("out\\alias.vfs"), found);
        }
        build();
        EXPECT_EQ(t.read("out\\table.vfs"), expected);
        EXPECT_EQ(leftovers(), Names{});
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
}

std::vector<std::string> stepsSeen;
void recordStep(const char* step) { stepsSeen.push_back(step); }

// What makes the promise hold across a power cut too, which no kill can show: each piece is
// flushed before the next depends on it, and the old bytes are whole before the table changes.
TEST_F(WinTableKill, EachPieceIsFlushedBeforeTheNextDependsOnIt) {
  auto sequence = [&](bool inPlace) {
    putBackOriginal(inPlace);
    stepsSeen.clear();
    win::tableFaultHook = recordStep;
    build();
    win::tableFaultHook = nullptr;
    std::string order;
    for (const std::string& step : stepsSeen)
      if (step != "write") order += step + " ";
    return order;
  };
  EXPECT_EQ(sequence(false), "flush replace remove backup ");
  EXPECT_EQ(sequence(true), "allocate create journal flush journal cut flush remove journal ");
}

}  // namespace
}  // namespace kelvane
