// The locks builds take turns on: a hidden file beside what it guards, one for every name of
// the same path, made only by a build and opened only by who may make files there.

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/failure.h"
#include "base/short_hash.h"
#include "engine/build_lock.h"
#include "tests/win/win_platform_fixture.h"

namespace kelvane {
namespace {

using namespace testing;

// The lock file of the entry name (upper case) in folder.
std::string lockOf(const std::string& folder, const std::string& name) {
  return folder + "\\.kelvane-" + shortHash(name) + ".lock";
}

// The one lock a Windows build takes for path, or nullptr where there is nothing to guard.
std::unique_ptr<PathLock> lockAt(Files& files, const std::string& path, bool shared) {
  auto locks = files.openLocks(path, Guarded::Table, shared);
  return locks.empty() ? nullptr : std::move(locks.front());
}

struct KeyCase {
  const char* name;
  std::string first, second;  // relative paths
  bool shared;                // one lock for both
};

class LockKey : public WinPlatformTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(LockKey, IsOneForEveryNameOfAPath) {
  auto first = lockAt(platform.files, t / GetParam().first, false);
  ASSERT_TRUE(first && first->tryHold());
  EXPECT_EQ(lockAt(platform.files, t / GetParam().second, false)->tryHold(), !GetParam().shared);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LockKey,
    ::testing::Values(KeyCase{"OtherCase", "dir\\vfs.txt", "DIR\\VFS.TXT", true},
                      KeyCase{"TrailingSeparator", "dir\\links", "dir\\links\\", true},
                      KeyCase{"ThroughDotDot", "dir\\sub\\..\\links", "dir\\links", true},
                      KeyCase{"OtherName", "dir\\vfs.txt", "dir\\vfs2.txt", false},
                      KeyCase{"OtherFolder", "dir\\vfs.txt", "dir\\sub\\vfs.txt", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinPlatformTest, ABuildMakesAHiddenLockADryRunOnlySharesOne) {
  const std::string file = t / lockOf("dir", "VFS.TXT");
  EXPECT_EQ(lockAt(platform.files, t / "dir\\vfs.txt", true), nullptr);
  EXPECT_EQ(lockAt(platform.files, t / "none\\vfs.txt", false), nullptr);
  EXPECT_EQ(t.tree(), (Names{"dir\\", "dir\\.dotted", "dir\\a.txt", "dir\\hid.txt", "dir\\sub\\",
                             "dir\\sys.txt"}));
  auto build = lockAt(platform.files, t / "dir\\vfs.txt", false);
  // (Under Wine a name starting with "." is hidden whatever the attributes made.)
  EXPECT_TRUE(attributesOf(file) & FILE_ATTRIBUTE_HIDDEN);
  auto one = lockAt(platform.files, t / "dir\\vfs.txt", true);
  auto two = lockAt(platform.files, t / "dir\\vfs.txt", true);
  ASSERT_TRUE(one && two && one->tryHold() && two->tryHold());
  EXPECT_FALSE(build->tryHold());
  one.reset();
  two.reset();
  EXPECT_TRUE(build->tryHold());
  EXPECT_FALSE(lockAt(platform.files, t / "dir\\vfs.txt", true)->tryHold());
}

TEST_F(WinPlatformTest, ALockFileFoundIsUsedAsItIsAndNothingElseIs) {
  const std::string found = t / lockOf("dir", "FOUND.TXT");
  writeBytes(found, "kept");
  setAttributes(found, FILE_ATTRIBUTE_READONLY);
  DWORD attributes = attributesOf(found);
  EXPECT_TRUE(lockAt(platform.files, t / "dir\\found.txt", false)->tryHold());
  EXPECT_EQ(attributesOf(found), attributes);
  EXPECT_EQ(readBytes(found), "kept");
  t.folder(lockOf("dir", "FOLDER.TXT"));
  Names refused{"folder.txt"};
  if (runOnHost("ln -s " + hostPath(t / "dir\\sub") + " " + hostPath(t / lockOf("dir", "LN"))))
    refused.push_back("ln");
  for (const std::string& name : refused)
    for (bool shared : {false, true}) {
      try {
        lockAt(platform.files, t / "dir\\" + name, shared);
        ADD_FAILURE() << "locked through " << name;
      } catch (const Failure& failure) {
        EXPECT_NE(failure.description().find(".lock\": something other than a plain file"),
                  std::string::npos)
            << failure.what();
      }
    }
}

// The access list of the file at path, as text.
std::string accessOf(const std::string& path) {
  PSECURITY_DESCRIPTOR security = nullptr;
  wchar_t* text = nullptr;
  EXPECT_EQ(
      ::GetNamedSecurityInfoW(win::wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &security),
      ERROR_SUCCESS);
  ::ConvertSecurityDescriptorToStringSecurityDescriptorW(security, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
  std::string out = text ? win::narrow(text) : "";
  ::LocalFree(text);
  ::LocalFree(security);
  return out;
}

TEST_F(WinPlatformTest, OnlyWhoMayMakeFilesBesideALockMayOpenIt) {
  t.folder("open");
  openToEveryone(t / "open");
  ASSERT_NE(lockAt(platform.files, t / "dir\\vfs.txt", false), nullptr);
  ASSERT_NE(lockAt(platform.files, t / "open\\vfs.txt", false), nullptr);
  // "WD" is everyone, "SY" the system's own account.
  EXPECT_EQ(accessOf(t / lockOf("dir", "VFS.TXT")).find(";WD)"), std::string::npos);
  EXPECT_NE(accessOf(t / lockOf("dir", "VFS.TXT")).find(";SY)"), std::string::npos);
  EXPECT_NE(accessOf(t / lockOf("open", "VFS.TXT")).find(";WD)"), std::string::npos);
}

// A platform that lets the test know when a build says it waits.
struct Said : testing::RecordedMessages {
  void warn(const std::string& text) override {
    std::lock_guard<std::mutex> hold(mutex);
    lines.push_back(text);
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  Names lines;
};

TEST_F(WinPlatformTest, BuildsSharingAPathTakeTurnsAndTheSecondSaysSoOnce) {
  auto first = takeTurns(platform,
                         {{t / "links\\", Guarded::LinkRoot}, {t / "dir\\vfs.txt", Guarded::Table}},
                         false, 600);
  EXPECT_EQ(takeTurns(platform, {{t / "dir\\other.txt", Guarded::Table}}, false, 600).size(),
            1u);  // not held up
  Said said;
  Platform saying{platform.files, platform.processes, said};
  Names order;
  std::thread second([&] {
    auto locks =
        takeTurns(saying, {{t / "DIR\\VFS.TXT", Guarded::Table}, {t / "LINKS", Guarded::LinkRoot}},
                  true, 600);
    std::lock_guard<std::mutex> hold(said.mutex);
    order.push_back("second holds " + std::to_string(locks.size()));
  });
  {
    std::unique_lock<std::mutex> wait(said.mutex);
    said.changed.wait(wait, [&] { return !said.lines.empty(); });
    order.push_back("first releases");
  }
  first.clear();
  second.join();
  EXPECT_EQ(order, (Names{"first releases", "second holds 2"}));
  ASSERT_EQ(said.lines.size(), 1u);
  EXPECT_NE(said.lines[0].find("is held by another process; waiting"), std::string::npos);
}

}  // namespace
}  // namespace kelvane
