// The locks builds take turns on: a hidden file beside what it guards, one for every name of
// the same path, made only by a build, with real files beside the test executable.

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/build_lock.h"
#include "platform/failure.h"
#include "platform/short_hash.h"
#include "tests/win/win_platform_fixture.h"

namespace kelvane {
namespace {

using namespace testing;

// The lock file of the entry name in folder.
std::string lockOf(const std::string& folder, const std::string& name) {
  return folder + "\\.kelvane-" + shortHash(name) + ".lock";
}

struct KeyCase {
  const char* name;
  std::string first, second;  // relative paths
  bool shared;                // one lock for both
};

class LockKey : public WinPlatformTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(LockKey, IsOneForEveryNameOfAPath) {
  const KeyCase& c = GetParam();
  auto first = platform.openLock(t / c.first, false);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(first->tryHold());
  auto second = platform.openLock(t / c.second, false);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->tryHold(), !c.shared);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LockKey,
    ::testing::Values(KeyCase{"SameText", "dir\\vfs.txt", "dir\\vfs.txt", true},
                      KeyCase{"OtherCase", "dir\\vfs.txt", "DIR\\VFS.TXT", true},
                      KeyCase{"TrailingSeparator", "dir\\links", "dir\\links\\", true},
                      KeyCase{"ThroughDotDot", "dir\\sub\\..\\links", "dir\\links", true},
                      KeyCase{"ExistingOrNot", "dir\\sub", "dir\\sub\\", true},
                      KeyCase{"OtherName", "dir\\vfs.txt", "dir\\vfs2.txt", false},
                      KeyCase{"OtherFolder", "dir\\vfs.txt", "dir\\sub\\vfs.txt", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinPlatformTest, ABuildMakesAHiddenLockADryRunOnlySharesOne) {
  const std::string file = lockOf(t / "dir", "VFS.TXT");
  EXPECT_EQ(platform.openLock(t / "dir\\vfs.txt", true), nullptr);
  EXPECT_EQ(platform.openLock(t / "none\\vfs.txt", false), nullptr);
  EXPECT_FALSE(pathExists(file));
  EXPECT_FALSE(pathExists(t / "none"));

  auto made = platform.openLock(t / "dir\\vfs.txt", false);
  ASSERT_TRUE(pathExists(file));
  // (Under Wine a name starting with "." is hidden whatever the attribute made.)
  EXPECT_TRUE(attributesOf(file) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(namesOf(platform.listFolder(t / "dir\\")), (Names{"..\\", ".\\", "a.txt", "sub\\"}));
  made.reset();
  // Dry runs share the lock; a build waits for them, and they for a build.
  auto one = platform.openLock(t / "dir\\vfs.txt", true);
  auto two = platform.openLock(t / "dir\\vfs.txt", true);
  ASSERT_TRUE(one && two);
  EXPECT_TRUE(one->tryHold());
  EXPECT_TRUE(two->tryHold());
  auto build = platform.openLock(t / "dir\\vfs.txt", false);
  EXPECT_FALSE(build->tryHold());
  one.reset();
  two.reset();
  EXPECT_TRUE(build->tryHold());
  EXPECT_FALSE(platform.openLock(t / "dir\\vfs.txt", true)->tryHold());
}

TEST_F(WinPlatformTest, ALockFileFoundIsUsedAsItIsAndNothingElseIs) {
  // One made otherwise keeps its attributes and what it holds.
  const std::string found = t / lockOf("dir", "FOUND.TXT");
  writeBytes(found, "kept");
  setAttributes(found, FILE_ATTRIBUTE_READONLY);
  DWORD attributes = attributesOf(found);
  EXPECT_TRUE(platform.openLock(t / "dir\\found.txt", false)->tryHold());
  EXPECT_EQ(attributesOf(found), attributes);
  setAttributes(found, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(readBytes(found), "kept");

  t.folder(lockOf("dir", "FOLDER.TXT"));
  hostLink("dir\\sub", lockOf("dir", "LINK.TXT"));
  for (const char* name : {"folder.txt", "link.txt"}) {
    if (std::string(name) == "link.txt" && IsSkipped()) continue;
    for (bool shared : {false, true}) {
      try {
        platform.openLock(t / "dir\\" + name, shared);
        ADD_FAILURE() << "locked through " << name;
      } catch (const Failure& failure) {
        EXPECT_NE(failure.description().find(".lock\": something other than a plain file"),
                  std::string::npos)
            << failure.what();
      }
    }
  }
}

// Whether sid may open the lock file at path.
bool mayOpen(const std::string& path, WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  ::CreateWellKnownSid(type, nullptr, sid, &size);
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  EXPECT_EQ(
      ::GetNamedSecurityInfoW(win::wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &acl, nullptr, &security),
      ERROR_SUCCESS);
  bool may = false;
  for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* entry = nullptr;
    ::GetAce(acl, i, reinterpret_cast<void**>(&entry));
    if (entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && ::EqualSid(&entry->SidStart, sid))
      may = true;
  }
  ::LocalFree(security);
  return may;
}

TEST_F(WinPlatformTest, OnlyWhoMayMakeFilesBesideALockMayOpenIt) {
  t.folder("open");
  EXPLICIT_ACCESSW all{};
  all.grfAccessPermissions = GENERIC_ALL;
  all.grfAccessMode = GRANT_ACCESS;
  all.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  all.Trustee.ptstrName = const_cast<wchar_t*>(L"Everyone");
  PACL acl = nullptr;
  ASSERT_EQ(::SetEntriesInAclW(1, &all, nullptr, &acl), ERROR_SUCCESS);
  ASSERT_EQ(::SetNamedSecurityInfoW(win::wide(t / "open").data(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr),
            ERROR_SUCCESS);
  ::LocalFree(acl);
  ASSERT_NE(platform.openLock(t / "dir\\vfs.txt", false), nullptr);
  ASSERT_NE(platform.openLock(t / "open\\vfs.txt", false), nullptr);
  EXPECT_FALSE(mayOpen(t / lockOf("dir", "VFS.TXT"), WinWorldSid));
  EXPECT_TRUE(mayOpen(t / lockOf("dir", "VFS.TXT"), WinLocalSystemSid));
  EXPECT_TRUE(mayOpen(t / lockOf("open", "VFS.TXT"), WinWorldSid));
}

// A platform that lets the test know when a build says it waits.
class Said : public WinPlatform {
 public:
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
  auto first = takeTurns(platform, {t / "links\\", t / "dir\\vfs.txt"}, false);
  // Another path is not held up (were it, this would never return).
  EXPECT_EQ(takeTurns(platform, {t / "dir\\other.txt"}, false).size(), 1u);
  Said said;
  Names order;
  std::thread second([&] {
    auto locks = takeTurns(said, {t / "DIR\\VFS.TXT", t / "LINKS"}, true);
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
  EXPECT_NE(said.lines[0].find("waiting for another build"), std::string::npos);
}

}  // namespace
}  // namespace kelvane
