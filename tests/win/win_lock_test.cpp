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

// The first lock a Windows build takes for path, or nullptr where there is nothing to guard.
std::unique_ptr<PathLock> lockAt(Files& files, const std::string& path, bool shared,
                                 Guarded what = Guarded::Table) {
  auto locks = files.openLocks(path, what, shared);
  return locks.empty() ? nullptr : std::move(locks.front());
}

// The short (8.3) spelling of path, which the system makes for a long name.
std::string shortOf(const std::string& path) {
  wchar_t text[MAX_PATH];
  DWORD n = ::GetShortPathNameW(win::wide(path).c_str(), text, MAX_PATH);
  return n && n < MAX_PATH ? win::narrow(std::wstring(text, n)) : path;
}

struct KeyCase {
  const char* name;
  std::string first, second;  // relative paths; "short:" spells the rest short
  bool shared;                // one lock for both
  Guarded what = Guarded::Table;
};

class LockKey : public WinPlatformTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(LockKey, IsOneForEveryNameOfAPath) {
  const KeyCase& c = GetParam();
  t.folder("dir\\long folder name");
  t.file("dir\\sub\\vfs.txt", "v");
  ASSERT_TRUE(::CreateHardLinkW(win::wide(t / "dir\\sub\\second.txt").c_str(),
                                win::wide(t / "dir\\sub\\vfs.txt").c_str(), nullptr));
  t.file("dir\\long table name.txt", "v");
  if (c.second.rfind("dir\\lnk", 0) == 0) hostLink("dir\\sub", "dir\\lnk");
  if (c.second == "dir\\tablelnk") hostLink("dir\\long table name.txt", c.second);
  if (IsSkipped()) return;
  std::string second =
      c.second.rfind("short:", 0) == 0 ? shortOf(t / c.second.substr(6)) : t / c.second;
  auto first = lockAt(platform.files, t / c.first, false, c.what);
  ASSERT_TRUE(first && first->tryHold());
  EXPECT_EQ(lockAt(platform.files, second, false, c.what)->tryHold(), !c.shared) << second;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LockKey,
    ::testing::Values(
        KeyCase{"OtherCase", "dir\\vfs.txt", "DIR\\VFS.TXT", true},
        KeyCase{"TrailingSeparator", "dir\\links", "dir\\links\\", true},
        KeyCase{"ThroughDotDot", "dir\\sub\\..\\links", "dir\\links", true},
        KeyCase{"ShortName", "dir\\long folder name\\vfs.txt",
                "short:dir\\long folder name\\vfs.txt", true},
        KeyCase{"ThroughALink", "dir\\sub\\vfs.txt", "dir\\lnk\\vfs.txt", true},
        KeyCase{"ShortNameOfATable", "dir\\long table name.txt", "short:dir\\long table name.txt",
                true},
        KeyCase{"ALinkLeadsToTheTable", "dir\\long table name.txt", "dir\\tablelnk", true},
        KeyCase{"AnotherNameOfTheFile", "dir\\sub\\vfs.txt", "dir\\sub\\second.txt", true},
        KeyCase{"OtherName", "dir\\vfs.txt", "dir\\vfs2.txt", false},
        KeyCase{"OtherFolder", "dir\\vfs.txt", "dir\\sub\\vfs.txt", false},
        KeyCase{"LinkRootDot", "dir\\sub", "dir\\sub\\.", true, Guarded::LinkRoot},
        KeyCase{"LinkRootOtherCase", "dir\\sub", "DIR\\SUB\\", true, Guarded::LinkRoot},
        KeyCase{"LinkRootALinkLeadsTo", "dir\\sub", "dir\\lnk", true, Guarded::LinkRoot},
        KeyCase{"OtherLinkRoot", "dir\\sub", "dir\\long folder name", false, Guarded::LinkRoot}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinPlatformTest, ABuildMakesAHiddenLockADryRunOnlySharesOne) {
  const std::string file = t / lockOf("dir", "VFS.TXT");
  EXPECT_EQ(lockAt(platform.files, t / "dir\\vfs.txt", true), nullptr);
  EXPECT_EQ(lockAt(platform.files, t / "none\\vfs.txt", false), nullptr);
  EXPECT_EQ(lockAt(platform.files, t / "dir\\sub", true, Guarded::LinkRoot), nullptr);
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
  // Under Wine a file's security follows its Unix mode and owner.
  auto planted = [&](const std::string& name, const std::string& mode, const char* owner = "") {
    const std::string file = hostPath(t / lockOf("dir", name));
    writeBytes(t / lockOf("dir", name), "kept");
    return runOnHost("chmod " + mode + " " + file + (*owner ? " && chown " : "") + owner +
                     (*owner ? " " + file : ""));
  };
  const std::string found = t / lockOf("dir", "FOUND.TXT");
  if (!planted("FOUND.TXT", "600")) GTEST_SKIP() << "no mode can be set here";
  setAttributes(found, FILE_ATTRIBUTE_READONLY);
  DWORD attributes = attributesOf(found);
  EXPECT_TRUE(lockAt(platform.files, t / "dir\\found.txt", false)->tryHold());
  EXPECT_EQ(attributesOf(found), attributes);
  EXPECT_EQ(readBytes(found), "kept");
  t.folder(lockOf("dir", "FOLDER.TXT"));
  std::vector<std::pair<std::string, std::string>> refused{
      {"folder.txt", "something other than a plain file"}};
  if (runOnHost("ln -s " + hostPath(t / "dir\\sub") + " " + hostPath(t / lockOf("dir", "LN"))))
    refused.push_back({"ln", "something other than a plain file"});
  if (planted("OPEN.TXT", "604")) refused.push_back({"open.txt", "that Everyone owns"});
  if (planted("THEIRS.TXT", "600", "65534")) refused.push_back({"theirs.txt", "owns or may open"});
  if (planted("TWO.TXT", "600") &&
      ::CreateHardLinkW(win::wide(t / "dir\\sub\\two").c_str(),
                        win::wide(t / lockOf("dir", "TWO.TXT")).c_str(), nullptr))
    refused.push_back({"two.txt", "a file with more than one name"});
  EXPECT_EQ(refused.size(), 5u);
  Names before = t.tree();
  for (const auto& [name, is] : refused)
    for (bool shared : {false, true}) {
      try {
        lockAt(platform.files, t / "dir\\" + name, shared);
        ADD_FAILURE() << "locked through " << name;
      } catch (const Failure& failure) {
        EXPECT_NE(failure.description().find(".lock\": builds take turns only"), std::string::npos)
            << failure.what();
        EXPECT_NE(failure.description().find(is), std::string::npos) << failure.what();
        EXPECT_NE(failure.fix().find("Remove"), std::string::npos);
      }
    }
  EXPECT_EQ(t.tree(), before);
}

// The access list of the file at path, as text.
std::string accessOf(const std::string& path) {
  PSECURITY_DESCRIPTOR security = nullptr;
  wchar_t* text = nullptr;
  if (::GetNamedSecurityInfoW(win::wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &security) != ERROR_SUCCESS) {
    ADD_FAILURE() << "no security read from " << path;
    return "";
  }
  ::ConvertSecurityDescriptorToStringSecurityDescriptorW(security, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
  std::string out = text ? win::narrow(text) : "";
  ::LocalFree(text);
  ::LocalFree(security);
  return out;
}

TEST_F(WinPlatformTest, OnlyTheBuildersMayOpenALockWhoeverMayMakeFilesBesideIt) {
  t.folder("open");
  openToEveryone(t / "open");
  ASSERT_NE(lockAt(platform.files, t / "dir\\vfs.txt", false), nullptr);
  ASSERT_NE(lockAt(platform.files, t / "open\\vfs.txt", false), nullptr);
  ASSERT_NE(lockAt(platform.files, t / "open", false, Guarded::LinkRoot), nullptr);
  // "WD" is everyone, "SY" the system's own account.
  for (const std::string& lock :
       {lockOf("dir", "VFS.TXT"), lockOf("open", "VFS.TXT"), std::string("open\\.kelvane.lock")}) {
    EXPECT_EQ(accessOf(t / lock).find(";WD)"), std::string::npos) << lock;
    EXPECT_NE(accessOf(t / lock).find(";SY)"), std::string::npos) << lock;
  }
  // What a build made passes when the next one finds it.
  EXPECT_NE(lockAt(platform.files, t / "open\\vfs.txt", true), nullptr);
  EXPECT_NE(lockAt(platform.files, t / "open", true, Guarded::LinkRoot), nullptr);
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
  // The last taken goes first: the second, waiting for the first taken, then finds the other
  // free too, however the two threads interleave.
  while (!first.empty()) first.pop_back();
  second.join();
  EXPECT_EQ(order, (Names{"first releases", "second holds 2"}));
  ASSERT_EQ(said.lines.size(), 1u);
  EXPECT_NE(said.lines[0].find("is held by another process; waiting"), std::string::npos);
}

}  // namespace
}  // namespace kelvane
