// Following as a process, with the system's own watches: a change made on disk shows in the
// mirror and the table, and SIGTERM ends it with exit status 0, after the build that runs.
// Every wait here is for something to appear, bounded generously; none is the assertion.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
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
  // notifySocket: where the service manager that started it listens, as systemd says.
  void start(const std::string& notifySocket = "") {
    std::string err = t / "err.txt";
    child = ::fork();
    if (child == 0) {
      if (!notifySocket.empty()) ::setenv("NOTIFY_SOCKET", notifySocket.c_str(), 1);
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

#ifdef KELVANE_SYSTEMD
// The service manager played: a datagram socket that hears what the program tells systemd.
class ServiceManager {
 public:
  explicit ServiceManager(const std::string& path)
      : path_(path), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~ServiceManager() { ::close(fd_); }
  bool bound() const { return bound_; }
  // The next notice, or "" when none came within the bound.
  std::string next() {
    pollfd wait{fd_, POLLIN, 0};
    if (::poll(&wait, 1, kBound) != 1) return "";
    char text[4096];
    ssize_t got = ::recv(fd_, text, sizeof text, 0);
    return got > 0 ? std::string(text, static_cast<size_t>(got)) : "";
  }

 private:
  std::string path_;
  int fd_;
  bool bound_ = false;
};

// systemd hears how each build went, READY once the first is done, and STOPPING at the end.
TEST_F(FollowProcess, TheServiceManagerHearsEachBuildAndWhenItIsReady) {
  ServiceManager manager(t / "notify.sock");
  ASSERT_TRUE(manager.bound());
  start(t / "notify.sock");
  std::string first = manager.next();
  EXPECT_EQ(first.rfind("STATUS=Last build ", 0), 0u) << first;
  EXPECT_NE(first.find(": done, 2 changes"), std::string::npos) << first;
  EXPECT_EQ(manager.next(), "READY=1");
  t.folder("src/two");
  std::string second = manager.next();
  EXPECT_NE(second.find(": done, 1 change"), std::string::npos) << second;
  ::kill(child, SIGTERM);
  EXPECT_EQ(manager.next(), "STOPPING=1");
  EXPECT_EQ(endStatus(), 0) << readBytes(t / "err.txt");
}
#endif

// The build waits for the lock held here; SIGTERM meanwhile ends following only after that
// build, whose table is then the new one.
TEST_F(FollowProcess, SigtermDuringABuildEndsAfterItWithTheTableWhole) {
  start();
  ASSERT_TRUE(waitForText(t / "vfs.txt", line("one"), kBound));
  TestPlatform platform;
  // The table is in place before the build has kept its record: the lock comes after.
  auto held = takeTurns(platform, {{t / "links", Guarded::LinkRoot}}, false, kBound / 1000);
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
