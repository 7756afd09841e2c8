// Following as a process, with the system's own watches: a change made on disk shows in the
// mirror and the table, and SIGTERM ends it with exit status 0, after the build that runs.
// Every wait here is for something to appear, bounded generously; none is the assertion.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "engine/build_lock.h"
#include "tests/support/process.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane::testing {
namespace {

constexpr int kBound = 60000;  // milliseconds: far beyond what a loaded machine needs

class FollowProcess : public ::testing::Test {
 protected:
  FollowProcess() : exe(installKelvaneCopy(t / "program")) {
    t.folder("src/one");
    t.file("old.vfs", "");
    t.file("build.dat",
           settingsText({t / "links", t / "vfs.txt", t / "old.vfs", "/m", "anon", "users", "755"},
                        {t / "src/"}));
  }
  ~FollowProcess() override {
    if (child > 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
  }
  void start() {
    std::string err = t / "err.txt";
    child = ::fork();
    if (child == 0) {
      std::freopen(err.c_str(), "w", stderr);
      std::freopen("/dev/null", "w", stdout);
      ::alarm(120);
      ::execl(exe.c_str(), exe.c_str(), "--follow", "--settle", "0.2",
              ("?" + (t / "build.dat")).c_str(), nullptr);
      ::_exit(126);
    }
    ASSERT_GT(child, 0);
  }
  int endStatus() {
    int status = -1;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    child = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string line(const std::string& name) { return vfsLine(t / ("src/" + name), "/m/" + name); }

  ScratchTree t;
  std::string exe;
  pid_t child = -1;
};

TEST_F(FollowProcess, AFolderMadeInASourceShowsAndSigtermEndsWithZero) {
  start();
  ASSERT_TRUE(waitForText(t / "vfs.txt", line("one"), kBound));
  t.folder("src/two");
  EXPECT_TRUE(waitForText(t / "vfs.txt", line("two"), kBound)) << readBytes(t / "err.txt");
  EXPECT_TRUE(isFolder(t / "links/two"));
  ::kill(child, SIGTERM);
  EXPECT_EQ(endStatus(), 0) << readBytes(t / "err.txt");
}

// The build waits for the lock held here; SIGTERM meanwhile ends following only after that
// build, whose table is then the new one.
TEST_F(FollowProcess, SigtermDuringABuildEndsAfterItWithTheTableWhole) {
  start();
  ASSERT_TRUE(waitForText(t / "vfs.txt", line("one"), kBound));
  TestPlatform platform;
  auto held = takeTurns(platform, {{t / "links", Guarded::LinkRoot}}, false, 0);
  ASSERT_FALSE(held.empty());
  t.folder("src/two");
  ASSERT_TRUE(waitForText(t / "err.txt", "waiting", kBound));
  ::kill(child, SIGTERM);
  held.clear();
  EXPECT_EQ(endStatus(), 0) << readBytes(t / "err.txt");
  std::string table = readBytes(t / "vfs.txt");
  EXPECT_NE(table.find(line("one")), std::string::npos) << table;
  EXPECT_NE(table.find(line("two")), std::string::npos) << table;
}

TEST_F(FollowProcess, SettingsThatDoNotReadAtStartEndItWithTheReport) {
  t.file("build.dat", "two\r\nlines\r\n");
  start();
  EXPECT_EQ(endStatus(), 1);
  EXPECT_TRUE(pathExists(t / "program/kelvaneerrors.txt"));
}

}  // namespace
}  // namespace kelvane::testing
