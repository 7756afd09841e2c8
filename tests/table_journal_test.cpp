// After a fault or a kill at any step of putting the table in place, by rename or written over
// behind its journal, the next build finds exactly the old table or exactly the new one; a
// table whose bytes would not change keeps its time; a second spelling of one table is the
// same table.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>

#include "base/failure.h"
#include "engine/build_run.h"
#include "posix/posix_table_journal.h"
#include "startup/form_load.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

// The journals among the state folder's files: the last build's record lies beside them.
std::vector<std::string> journalsIn(std::vector<std::string> names) {
  std::erase_if(names, [](const std::string& name) { return name.rfind("record-", 0) == 0; });
  return names;
}

using testing::ScratchTree;
using testing::settingsText;
using testing::TestPlatform;
using testing::vfsLine;

long stepsLeft = 0;  // the hook acts when it reaches 0, or at the first step named so
std::string namedStep;
bool killThere = false;

void stopAtStep(const char* step) {
  if (namedStep.empty() ? --stepsLeft != 0 : namedStep != step) return;
  if (killThere) ::_exit(9);  // as a kill would: nothing flushed, nothing put back
  throw Failure(EIO, std::string("Injected fault at ") + step, "test");
}

class TableJournal : public ::testing::Test {
 protected:
  void SetUp() override {
    t.folder("iso/debian");
    t.file("old.vfs", "old|line\r\n");
    // Long enough that its write takes many pieces, and shorter than the new one.
    std::string table;
    for (int i = 0; i < 3000; ++i) table += "the server's own line " + std::to_string(i) + "\r\n";
    t.file("out/table.vfs", table);
    original = table;
    expected = "old|line\r\n" + vfsLine(t / "links", "/merged") +
               vfsLine(t / "iso/debian", "/merged/debian");
    platform.stateFolder = t / "state";
  }
  void TearDown() override {
    posix::tableFaultHook = nullptr;
    namedStep.clear();
  }

  void build(const std::string& vfs = "out/table.vfs", const std::string& vfsOld = "old.vfs") {
    t.file("settings.dat",
           settingsText({t / "links", t / vfs, t / vfsOld, "/merged", "anon", "users", "755"},
                        {t / "iso/"}));
    AppState state;
    ASSERT_EQ(formLoad(platform, "?" + (t / "settings.dat"), state), RunMode::Build);
    runBuild(platform, state);
  }
  // How many steps putting the table in place takes.
  long countSteps() {
    stepsLeft = -1000000;
    posix::tableFaultHook = stopAtStep;
    build();
    posix::tableFaultHook = nullptr;
    return -1000000 - stepsLeft;
  }
  // What the next build finds once it has put back what a journal holds.
  std::string tableFoundNext() {
    platform.files.createOutput(t / "out/table.vfs");  // never committed: changes nothing else
    return t.read("out/table.vfs");
  }

  ScratchTree t;
  TestPlatform platform;
  std::string original, expected;
};

TEST_F(TableJournal, AFaultOrAKillAtAnyStepLeavesTheOldTableOrTheNewOne) {
  for (bool inPlace : {false, true}) {
    t.file("out/table.vfs", original);
    ::unlink((t / "out/alias.vfs").c_str());
    if (inPlace) {
      ASSERT_EQ(::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str()), 0);
    }
    long steps = countSteps();
    ASSERT_EQ(t.read("out/table.vfs"), expected);
    ASSERT_GT(steps, inPlace ? 8 : 3);
    for (bool kill : {false, true}) {
      for (long k = 1; k <= steps; ++k) {
        SCOPED_TRACE((inPlace ? "in place, " : "by rename, ") +
                     std::string(kill ? "kill" : "fault") + " at step " + std::to_string(k) +
                     " of " + std::to_string(steps));
        t.file("out/table.vfs.new", original);
        ASSERT_EQ(::rename((t / "out/table.vfs.new").c_str(), (t / "out/table.vfs").c_str()), 0);
        if (inPlace) {
          ::unlink((t / "out/alias.vfs").c_str());
          ASSERT_EQ(::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str()), 0);
        }
        stepsLeft = k;
        killThere = kill;
        posix::tableFaultHook = stopAtStep;
        if (kill) {
          pid_t child = ::fork();
          if (child == 0) {
            try {
              build();
            } catch (...) {
            }
            ::_exit(0);
          }
          int status = 0;
          ASSERT_EQ(::waitpid(child, &status, 0), child);
          EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << "not stopped there";
        } else {
          // A build that lives through its fault leaves no work for the next one.
          EXPECT_THROW(build(), Failure);
          std::string left = t.read("out/table.vfs");
          EXPECT_TRUE(left == original || left == expected) << left.size() << " bytes";
        }
        posix::tableFaultHook = nullptr;
        std::string found = tableFoundNext();
        EXPECT_TRUE(found == original || found == expected) << found.size() << " bytes";
        if (inPlace) {
          EXPECT_EQ(t.read("out/alias.vfs"), found);
        }
        build();
        EXPECT_EQ(t.read("out/table.vfs"), expected);
        EXPECT_FALSE(t.has("state/kelvane") && !journalsIn(t.tree("state/kelvane")).empty())
            << "a journal is left";
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
}

std::vector<std::string> stepsSeen;
void recordStep(const char* step) { stepsSeen.push_back(step); }

// What makes the promise hold across a power cut too: each piece is synced before the next
// depends on it, which no kill can show.
TEST_F(TableJournal, EachPieceIsSyncedBeforeTheNextDependsOnIt) {
  auto sequence = [&](bool inPlace) {
    t.file("out/table.vfs", original);
    ::unlink((t / "out/alias.vfs").c_str());
    if (inPlace) ::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str());
    stepsSeen.clear();
    posix::tableFaultHook = recordStep;
    build();
    posix::tableFaultHook = nullptr;
    std::string order;
    for (const std::string& step : stepsSeen)
      if (step != "write" && step != "spool" &&
          (order.empty() || order.back() != ' ' || order.rfind(step) != order.size() - step.size()))
        order += step + " ";
    return order;
  };
  EXPECT_EQ(sequence(false), "fsync rename fsync folder ");
  EXPECT_EQ(sequence(true), "create journal fsync journal allocate truncate fsync remove journal ");
}

// A journal that the table does not match (the table was replaced since) is never applied.
TEST_F(TableJournal, AJournalOfAnotherFileIsNeverAppliedAndAnUnfinishedOneOnlyGoes) {
  ASSERT_EQ(::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str()), 0);
  namedStep = "allocate";  // once the journal is whole, before the table is written
  killThere = true;
  posix::tableFaultHook = stopAtStep;
  pid_t child = ::fork();
  if (child == 0) {
    build();
    ::_exit(0);
  }
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  posix::tableFaultHook = nullptr;
  t.file("out/other.vfs", "someone else's\r\n");
  ASSERT_EQ(::rename((t / "out/other.vfs").c_str(), (t / "out/table.vfs").c_str()), 0);
  EXPECT_THROW(tableFoundNext(), Failure);
  EXPECT_EQ(t.read("out/table.vfs"), "someone else's\r\n");
  // Unfinished: the table had not changed yet, so the journal only goes.
  auto journals = journalsIn(t.tree("state/kelvane"));
  ASSERT_EQ(journals.size(), 1u);
  std::string journal = t / ("state/kelvane/" + journals[0]);
  ASSERT_EQ(::truncate(journal.c_str(), 10), 0);
  EXPECT_EQ(tableFoundNext(), "someone else's\r\n");
  EXPECT_TRUE(journalsIn(t.tree("state/kelvane")).empty());
}

TEST_F(TableJournal, AnUnchangedTableKeepsItsTimeAndTwoSpellingsAreOneTable) {
  build();
  struct stat first {
  }, second{};
  ASSERT_EQ(::stat((t / "out/table.vfs").c_str(), &first), 0);
  build();
  ASSERT_EQ(::stat((t / "out/table.vfs").c_str(), &second), 0);
  EXPECT_EQ(second.st_ino, first.st_ino);
  EXPECT_EQ(second.st_mtim.tv_nsec, first.st_mtim.tv_nsec);
  EXPECT_EQ(second.st_mtim.tv_sec, first.st_mtim.tv_sec);
  // One table spelled two ways: its lines are kept, and no root entry is written.
  t.file("out/table.vfs", "server|line\r\n");
  build("out/../out/table.vfs", "out/table.vfs");
  EXPECT_EQ(t.read("out/table.vfs"),
            "server|line\r\n" + vfsLine(t / "iso/debian", "/merged/debian"));
  // Its neighbour with the same first letters is another table.
  t.file("out/table.vfs2", "other|line\r\n");
  build("out/table.vfs", "out/table.vfs2");
  EXPECT_EQ(t.read("out/table.vfs"), "other|line\r\n" + vfsLine(t / "links", "/merged") +
                                         vfsLine(t / "iso/debian", "/merged/debian"));
}

TEST_F(TableJournal, AReplacedTableKeepsItsExtendedAttributes) {
  std::string table = t / "out/table.vfs";
  if (::setxattr(table.c_str(), "user.kelvane-test", "kept", 4, 0) != 0)
    GTEST_SKIP() << "this file system takes no user attributes";
  build();
  char value[8] = {};
  EXPECT_EQ(::getxattr(table.c_str(), "user.kelvane-test", value, sizeof value), 4);
  EXPECT_STREQ(value, "kept");
  EXPECT_EQ(t.read("out/table.vfs"), expected);
}

// A full disk where the temporary table goes fails the build with the table as it was: it
// never turns into a write over the table. A file system with room for one more file, beside
// it, builds.
TEST_F(TableJournal, AFullDiskNeverTurnsIntoAWriteOverTheTable) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  for (const char* inodes : {"nr_inodes=2", "nr_inodes=3"}) {
    SCOPED_TRACE(inodes);
    pid_t child = ::fork();
    if (child == 0) {
      t.folder("full");
      if (::unshare(CLONE_NEWNS) != 0 ||
          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("tmpfs", (t / "full").c_str(), "tmpfs", 0, inodes) != 0)
        ::_exit(77);
      t.file("full/table.vfs", original);  // the root folder and the table take two
      struct stat before {
      }, after{};
      ::stat((t / "full/table.vfs").c_str(), &before);
      int status = 0;
      try {
        build("full/table.vfs");
      } catch (const Failure& failure) {
        status = failure.number() == ENOSPC ? 1 : 3;
      }
      ::stat((t / "full/table.vfs").c_str(), &after);
      bool untouched =
          t.read("full/table.vfs") == original && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
      if (status == 1 && !untouched) status = 4;
      if (status == 0 && t.read("full/table.vfs") != expected) status = 5;
      ::_exit(status);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status), std::string(inodes) == "nr_inodes=2" ? 1 : 0);
  }
}

}  // namespace
}  // namespace kelvane
