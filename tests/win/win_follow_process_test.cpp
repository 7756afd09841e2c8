// kelvane.exe --follow under Wine: it builds, puts a source's new subfolder into the mirror
// and the table once the system tells it, and ends with status 0 when its end event is set.
// Each step waits for what it must bring about, bounded only so that a failure cannot hang.

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "tests/support/scratch_tree.h"
#include "tests/win/win_scratch.h"
#include "win/win_support.h"
#include "win/win_watches.h"

namespace kelvane::testing {
namespace {

using win::wide;

class WinFollowProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    t.folder("prog");
    ASSERT_TRUE(::CopyFileW(wide(wineDrivePath(KELVANE_EXE)).c_str(),
                            wide(t / "prog\\kelvane.exe").c_str(), FALSE));
    t.folder("src\\one");
    t.folder("out");
    t.file("old.vfs", "old|line\r\n");
    t.file("prog\\follow.dat", settingsText({t / "links", t / "out\\table.vfs", t / "old.vfs",
                                             "/merged", "anon", "users", "755"},
                                            {t / "src\\"}));
  }
  void TearDown() override {
    if (process_) {
      ::TerminateProcess(process_.get(), 9);
      ::WaitForSingleObject(process_.get(), INFINITE);
    }
  }

  // Starts kelvane.exe with argument text, what it says going to prog\said.txt.
  void start(const std::string& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    win::Handle said(::CreateFileW(wide(t / "prog\\said.txt").c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(said);
    std::wstring line = L"\"" + wide(t / "prog\\kelvane.exe") + L"\" " + wide(arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = said.get();
    startup.hStdError = said.get();
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 wide(t.path()).c_str(), &startup, &started));
    process_ = win::Handle(started.hProcess);
    ::CloseHandle(started.hThread);
    id_ = started.dwProcessId;
  }
  // Waits until done holds, or the program ends, or the time is up.
  bool until(const std::function<bool()>& done) {
    for (int i = 0; i < 3000; ++i) {
      if (done()) return true;
      if (::WaitForSingleObject(process_.get(), 20) == WAIT_OBJECT_0) break;
    }
    return done();
  }
  bool mirroredAndListed(const std::string& name) {
    DWORD attributes = ::GetFileAttributesW(wide(t / ("links\\" + name)).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return false;
    return t.read("out\\table.vfs").find("|/merged/" + name + "|") != std::string::npos;
  }
  std::string said() { return t.read("prog\\said.txt"); }

  WinScratch t;
  win::Handle process_;
  DWORD id_ = 0;
};

TEST_F(WinFollowProcess, BuildsFollowsANewSourceSubfolderAndEndsWithStatusZeroWhenAsked) {
  start("--follow --settle 0.2 ?" + (t / "prog\\follow.dat"));
  ASSERT_TRUE(until([&] { return mirroredAndListed("one"); })) << said();
  ASSERT_TRUE(::CreateDirectoryW(wide(t / "src\\two").c_str(), nullptr));
  ASSERT_TRUE(until([&] { return mirroredAndListed("two"); })) << said();
  EXPECT_TRUE(mirroredAndListed("one"));

  win::Handle end(::OpenEventW(EVENT_MODIFY_STATE, FALSE, endEventName(id_).c_str()));
  ASSERT_TRUE(end) << said();
  ASSERT_TRUE(::SetEvent(end.get()));
  ASSERT_EQ(::WaitForSingleObject(process_.get(), 60000), WAIT_OBJECT_0) << said();
  DWORD status = 99;
  ::GetExitCodeProcess(process_.get(), &status);
  EXPECT_EQ(status, 0u) << said();
  EXPECT_EQ(said(), "");
  process_ = win::Handle();
}

}  // namespace
}  // namespace kelvane::testing
