// The table the server reads stays the server's: it keeps its owner, group, mode and every
// name; nothing but a plain file is ever replaced; a build that cannot write its table fails
// before it deletes anything; the server's own lines are copied exactly.

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include "base/failure.h"
#include "base/short_hash.h"
#include "engine/build_run.h"
#include "startup/form_load.h"
#include "tests/support/failure_of.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::ScratchTree;
using testing::settingsText;
using testing::TestPlatform;
using testing::vfsLine;
using Names = std::vector<std::string>;

#ifdef _WIN32
const char* const kNullDevice = "NUL";
#else
const char* const kNullDevice = "/dev/null";
#endif

class TableSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    t.folder("iso/Smith, John");
    t.file("links/stale/file");
    t.file("out/table.vfs", "server, own|line \"quoted\"\r\n");
    platform.stateFolder = t / "state";
  }
  void build(const std::string& vfs, const std::string& vfsOld) {
    t.file(
        "settings.dat",
        settingsText({t / "links", vfs, vfsOld, "/merged", "anon", "users", "755"}, {t / "iso/"}));
    state = AppState();
    ASSERT_EQ(formLoad(platform, "?" + (t / "settings.dat"), state), RunMode::Build);
    runBuild(platform, state);
  }
  struct stat statOf(const std::string& relative) {
    struct stat st {};
    EXPECT_EQ(::stat((t / relative).c_str(), &st), 0) << relative;
    return st;
  }

  ScratchTree t;
  TestPlatform platform;
  AppState state;
};

TEST_F(TableSafety, OldLinesAndCommasSurviveEveryRebuildOfTheSameTable) {
  build(t / "out/table.vfs", t / "out/table.vfs");
  build(t / "out/table.vfs", t / "out/table.vfs");
  std::string entry = vfsLine(t / "iso/Smith, John", "/merged/Smith, John");
  EXPECT_EQ(t.read("out/table.vfs"), "server, own|line \"quoted\"\r\n" + entry + entry);
}

// Lines longer than the pieces the old table is copied in, and one exactly a piece long with
// no line ending, come out byte for byte (the missing ending made CR LF).
TEST_F(TableSafety, OldLinesOfAnyLengthSurviveAWholeBuild) {
  const size_t piece = 64 * 1024;
  for (auto [old, copied] :
       {std::pair{std::string(piece + 7, 'a') + "\r\n" + std::string(3, 'b'),
                  std::string(piece + 7, 'a') + "\r\nbbb\r\n"},
        std::pair{std::string(piece - 1, 'c') + "\n" + std::string(piece, 'd'),
                  std::string(piece - 1, 'c') + "\r\n" + std::string(piece, 'd') + "\r\n"}}) {
    t.file("long.vfs", old);
    build(t / "out/table.vfs", t / "long.vfs");
    EXPECT_EQ(t.read("out/table.vfs"), copied + vfsLine(t / "links", "/merged") +
                                           vfsLine(t / "iso/Smith, John", "/merged/Smith, John"));
  }
}

#ifndef _WIN32  // owners, modes and hard links as POSIX has them
TEST_F(TableSafety, TheTableKeepsItsOwnerModeAndEveryName) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the table another owner";
  // Its group alone another than the build's: kept as well, by the new file.
  ASSERT_EQ(::chown((t / "out/table.vfs").c_str(), 0, 65534), 0);
  ino_t first = statOf("out/table.vfs").st_ino;
  build(t / "out/table.vfs", t / "out/table.vfs");
  EXPECT_NE(statOf("out/table.vfs").st_ino, first);
  EXPECT_EQ(statOf("out/table.vfs").st_uid, 0u);
  EXPECT_EQ(statOf("out/table.vfs").st_gid, 65534u);
  ASSERT_EQ(::chown((t / "out/table.vfs").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod((t / "out/table.vfs").c_str(), 0640), 0);
  build(t / "out/table.vfs", t / "out/table.vfs");
  struct stat replaced = statOf("out/table.vfs");
  EXPECT_EQ(replaced.st_uid, 65534u);
  EXPECT_EQ(replaced.st_gid, 65534u);
  EXPECT_EQ(replaced.st_mode & 07777, 0640u);

  // A second name that another account may have made is no reason to write in place: the
  // named table is replaced, the other name keeps the old one.
  ASSERT_EQ(::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str()), 0);
  std::string before = t.read("out/table.vfs");
  build(t / "out/table.vfs", t / "out/table.vfs");
  EXPECT_EQ(t.read("out/alias.vfs"), before);
  EXPECT_NE(statOf("out/alias.vfs").st_ino, statOf("out/table.vfs").st_ino);
  // One that only root or this account could have made goes on showing the table: it is
  // written in place, not replaced, and keeps its group.
  ASSERT_EQ(::unlink((t / "out/alias.vfs").c_str()), 0);
  ASSERT_EQ(::chown((t / "out/table.vfs").c_str(), 0, 65534), 0);
  ASSERT_EQ(::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str()), 0);
  build(t / "out/table.vfs", t / "out/table.vfs");
  EXPECT_EQ(t.read("out/alias.vfs"), t.read("out/table.vfs"));
  EXPECT_EQ(statOf("out/alias.vfs").st_ino, statOf("out/table.vfs").st_ino);
  EXPECT_EQ(statOf("out/table.vfs").st_gid, 65534u);
  EXPECT_EQ(t.tree("out"), (Names{"alias.vfs", "table.vfs"}));
}

// A table with a second name is written over: it ends as the new table, however much
// shorter, or, when the write fails, as it was; a new table gets the ordinary mode.
TEST_F(TableSafety, AWriteOverEndsAsTheNewTableOrTheOldOne) {
  std::string longTable;
  for (int i = 0; i < 500; ++i) longTable += "an old line of the server's own table\r\n";
  t.file("out/table.vfs", longTable);
  ASSERT_EQ(::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str()), 0);
  t.file("short.vfs", "short\r\n");
  build(t / "out/table.vfs", t / "short.vfs");
  std::string shorter = "short\r\n" + vfsLine(t / "links", "/merged") +
                        vfsLine(t / "iso/Smith, John", "/merged/Smith, John");
  EXPECT_EQ(t.read("out/table.vfs"), shorter);
  EXPECT_EQ(t.read("out/alias.vfs"), shorter);

  // A file size limit stands in for a full disk: the write fails part of the way.
  t.file("out/long.vfs", longTable);
  struct rlimit was {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &was), 0);
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = was;
  limit.rlim_cur = shorter.size() + 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  Failure full = testing::failureOf([&] { build(t / "out/table.vfs", t / "out/long.vfs"); });
  ::setrlimit(RLIMIT_FSIZE, &was);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(full.action(), "Writing new VFS file (" + (t / "out/table.vfs") + ")");
  EXPECT_EQ(t.read("out/table.vfs"), shorter);

  mode_t mask = ::umask(0);
  ::umask(mask);
  build(t / "out/new.vfs", t / "short.vfs");
  EXPECT_EQ(statOf("out/new.vfs").st_mode & 07777, 0666u & ~mask);
}
#endif

TEST_F(TableSafety, OnlyAPlainFileIsEverReplacedAndNothingIsDeletedFirst) {
  t.folder("out/folder.vfs");
  Names refused = {t / "out/folder.vfs", t / "out/", "", kNullDevice, t / "missing/table.vfs"};
  Names left = {"folder.vfs/", "table.vfs"};
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((t / "out/fifo.vfs").c_str(), 0600), 0);
  refused.push_back(t / "out/fifo.vfs");
  left.insert(left.begin(), "fifo.vfs");
#endif
  for (const std::string& vfs : refused) {
    SCOPED_TRACE(vfs);
    EXPECT_EQ(testing::failureOf([&] { build(vfs, t / "out/table.vfs"); }).action(),
              "Writing new VFS file (" + vfs + ")");
    EXPECT_TRUE(t.has("links/stale/file"));
  }
  EXPECT_EQ(t.tree("out"), left);
  // The nearest that must still build: a new table beside them.
  build(t / "out/new.vfs", t / "out/table.vfs");
  EXPECT_FALSE(t.has("links/stale"));
}

#ifndef _WIN32  // a build killed half-way, through fork
TEST_F(TableSafety, ALongTableNameBuildsAndAKilledBuildsLeftoverGoesWithTheNext) {
  std::string name = "out/" + std::string(245, 'v');
  t.file(name, "long\r\n");
  // A build killed while writing leaves its temporary file behind.
  pid_t child = ::fork();
  if (child == 0) {
    auto output = testing::systemFiles().createOutput(t / name);
    output->write("half a table");
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(t.tree("out").size(), 3u);
  // Only a plain file with one name is a leftover, whatever its name: a folder or a second
  // name of another file under the mark stays.
  std::string mark = "out/.kelvane-" + shortHash(name.substr(4));
  t.folder(mark + "-folder.tmp");
  ASSERT_EQ(::link((t / "out/table.vfs").c_str(), (t / (mark + "-link.tmp")).c_str()), 0);
  build(t / name, t / name);
  EXPECT_EQ(t.tree("out"), (Names{mark.substr(4) + "-folder.tmp/", mark.substr(4) + "-link.tmp",
                                  "table.vfs", name.substr(4)}));
  EXPECT_EQ(t.read(name), "long\r\n" + vfsLine(t / "iso/Smith, John", "/merged/Smith, John"));
}
#endif

}  // namespace
}  // namespace kelvane
