// After a fault or a kill at any step of putting the table in place, by rename or written over
// behind its journal, the next build finds exactly the old table or exactly the new one (a
// kill may leave it torn until then, never shorter than the old one); each piece is synced
// before the next depends on it; a table whose bytes would not change keeps its time; a
// second spelling or name of one table is the same table, with the same journal.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/failure.h"
#include "engine/build_run.h"
#include "posix/posix_table_journal.h"
#include "startup/form_load.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

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
    posix::tableCalls = posix::TableCalls();
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
  std::string tableFoundNext(const std::string& vfs = "out/table.vfs") {
    platform.files.createOutput(t / vfs);  // never committed: changes nothing else
    return t.read(vfs);
  }
  // A build of the table through alias stopped at the named step, as a kill stops it.
  void killedAt(const char* step) {
    namedStep = step;
    killThere = true;
    posix::tableFaultHook = stopAtStep;
    pid_t child = ::fork();
    if (child == 0) {
      build();
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << "not stopped at " << step;
    posix::tableFaultHook = nullptr;
    namedStep.clear();
  }
  // The journals among the state folder's files: the last build's record lies beside them.
  std::vector<std::string> journals() {
    std::vector<std::string> names =
        t.has("state/kelvane") ? t.tree("state/kelvane") : std::vector<std::string>{};
    std::erase_if(names, [](const std::string& name) { return name.rfind("record-", 0) == 0; });
    return names;
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
          // Torn, perhaps, but never cut short: what the server reads meanwhile still holds
          // as many bytes as the old table did, unless it is the new one whole.
          std::string left = t.read("out/table.vfs");
          EXPECT_TRUE(left == expected || left.size() >= original.size()) << left.size();
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
        EXPECT_FALSE(!journals().empty()) << "a journal is left";
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
}

std::vector<std::string> stepsSeen;
void recordStep(const char* step) { stepsSeen.push_back(step); }
// Each sync as the system gets it, named by what it reaches: a step recorded before a sync
// that is never called shows nothing.
std::string scratchPath;
int recordSync(int fd) {
  char path[PATH_MAX] = {};
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = ::readlink(self.c_str(), path, sizeof path - 1);
  std::string reached = n > 0 ? std::string(path, static_cast<size_t>(n)) : "?";
  if (reached.rfind(scratchPath + "/", 0) == 0) reached = reached.substr(scratchPath.size() + 1);
  if (reached.find("/.kelvane-") != std::string::npos) reached = "temporary table";
  if (reached.find(".journal") != std::string::npos) reached = "journal";
  if (reached.find("/record-") != std::string::npos ||
      reached.find("/.record-") != std::string::npos)
    reached = "record";
  stepsSeen.push_back("synced " + reached);
  return ::fsync(fd);
}

// What makes the promise hold across a power cut too: each piece is synced before the next
// depends on it, which no kill can show.
TEST_F(TableJournal, EachPieceIsSyncedBeforeTheNextDependsOnIt) {
  scratchPath = t.path();
  auto sequence = [&](bool inPlace) {
    t.file("out/table.vfs", original);
    ::unlink((t / "out/alias.vfs").c_str());
    if (inPlace) ::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str());
    // A record that would come out the same is not written again: each run starts without
    // one, so that its syncs are always there to be seen.
    std::error_code none;  // no state folder before the first build
    for (const auto& kept : std::filesystem::directory_iterator(t / "state/kelvane", none))
      if (kept.path().filename().string().rfind("record-", 0) == 0)
        std::filesystem::remove(kept.path());
    stepsSeen.clear();
    posix::tableFaultHook = recordStep;
    posix::tableCalls.fsync = recordSync;
    build();
    posix::tableFaultHook = nullptr;
    posix::tableCalls = posix::TableCalls();
    // Each run of one step told once; the spool is no file the server reads.
    std::string order, last;
    for (const std::string& step : stepsSeen)
      if (step != "spool" && step != last) order += (last = step) + ", ";
    return order;
  };
  EXPECT_EQ(
      sequence(false),
      "write, fsync, synced temporary table, rename, fsync folder, synced out, synced record, "
      "synced state/kelvane, ");
  EXPECT_EQ(sequence(true),
            "create journal, write, fsync journal, synced journal, fsync journal folder, "
            "synced state/kelvane, allocate, write, truncate, fsync, synced out/table.vfs, "
            "remove journal, fsync journal folder, synced state/kelvane, synced record, "
            "synced state/kelvane, ");
}

// The journal is the file's, not the name's: found whichever name the next build uses, and
// never applied to another file, even one that took its number; one not finished only goes.
TEST_F(TableJournal, AJournalIsTheFilesOwnAndNeverAppliedToAnother) {
  ASSERT_EQ(::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str()), 0);
  // Under a mask that would take the owner's own rights, the journal still comes out as the
  // next build takes it.
  mode_t mask = ::umask(0277);
  killedAt("truncate");  // the new bytes written over the old ones' start, not cut yet
  ::umask(mask);
  ASSERT_NE(t.read("out/alias.vfs"), original);
  build("out/alias.vfs", "out/alias.vfs");
  EXPECT_EQ(t.read("out/table.vfs"), original + vfsLine(t / "iso/debian", "/merged/debian"));
  EXPECT_TRUE(journals().empty());

  t.file("out/table.vfs", original);
  ASSERT_EQ(::unlink((t / "out/alias.vfs").c_str()), 0);
  ASSERT_EQ(::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str()), 0);
  killedAt("allocate");  // once the journal is whole, before the table is written
  t.file("out/other.vfs", "someone else's\r\n");
  ASSERT_EQ(::rename((t / "out/other.vfs").c_str(), (t / "out/table.vfs").c_str()), 0);
  EXPECT_EQ(tableFoundNext(), "someone else's\r\n");
  // Named as if for the new file, which took the old one's number: its header tells.
  ASSERT_EQ(journals().size(), 1u);
  struct stat now {};
  ASSERT_EQ(::stat((t / "out/table.vfs").c_str(), &now), 0);
  std::string journal = t / ("state/kelvane/" + posix::journalName(now));
  ASSERT_EQ(::rename((t / ("state/kelvane/" + journals()[0])).c_str(), journal.c_str()), 0);
  EXPECT_THROW(tableFoundNext(), Failure);
  EXPECT_EQ(t.read("out/table.vfs"), "someone else's\r\n");
  // Unfinished: the table had not changed yet, so the journal only goes.
  ASSERT_EQ(::truncate(journal.c_str(), 10), 0);
  EXPECT_EQ(tableFoundNext(), "someone else's\r\n");
  EXPECT_TRUE(journals().empty());
}

int noRoom(int, int, off_t, off_t) {
  errno = ENOSPC;
  return -1;
}
int noReservations(int, int, off_t, off_t) {
  errno = EOPNOTSUPP;
  return -1;
}

// Room that cannot be taken fails before the table's first byte changes, and takes its
// journal with it; a file system that takes no reservations is written all the same.
TEST_F(TableJournal, NoRoomForTheNewBytesLeavesTheTableAsItWasAndNoJournal) {
  ASSERT_EQ(::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str()), 0);
  struct stat before {
  }, after{};
  ASSERT_EQ(::stat((t / "out/table.vfs").c_str(), &before), 0);
  posix::tableCalls.fallocate = noRoom;
  Failure failure{0, "", ""};
  try {
    build();
    ADD_FAILURE() << "built without room";
  } catch (const Failure& caught) {
    failure = caught;
  }
  EXPECT_EQ(failure.number(), ENOSPC);
  EXPECT_EQ(failure.source(), "allocate");
  EXPECT_EQ(failure.action(), "Writing new VFS file (" + (t / "out/table.vfs") + ")");
  ASSERT_EQ(::stat((t / "out/table.vfs").c_str(), &after), 0);
  EXPECT_EQ(t.read("out/table.vfs"), original);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_TRUE(journals().empty());
  posix::tableCalls.fallocate = noReservations;
  build();
  EXPECT_EQ(t.read("out/alias.vfs"), expected);
}

TEST_F(TableJournal, AnUnchangedTableKeepsItsTimeAndTwoSpellingsAreOneTable) {
  for (bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "in place" : "by rename");
    if (inPlace) ::link((t / "out/table.vfs").c_str(), (t / "out/alias.vfs").c_str());
    build();
    struct stat first {
    }, second{};
    ASSERT_EQ(::stat((t / "out/table.vfs").c_str(), &first), 0);
    stepsSeen.clear();
    posix::tableFaultHook = recordStep;
    build();
    posix::tableFaultHook = nullptr;
    ASSERT_EQ(::stat((t / "out/table.vfs").c_str(), &second), 0);
    EXPECT_EQ(second.st_ino, first.st_ino);
    EXPECT_EQ(second.st_mtim.tv_nsec, first.st_mtim.tv_nsec);
    EXPECT_EQ(second.st_mtim.tv_sec, first.st_mtim.tv_sec);
    for (const char* change : {"create journal", "rename", "truncate"})
      EXPECT_EQ(std::count(stepsSeen.begin(), stepsSeen.end(), change), 0) << change;
  }
  ::unlink((t / "out/alias.vfs").c_str());
  // One table spelled two ways: its lines are kept, and no root entry is written.
  t.file("out/table.vfs", "server|line\r\n");
  build("out/../out/table.vfs", "out/table.vfs");
  EXPECT_EQ(t.read("out/table.vfs"),
            "server|line\r\n" + vfsLine(t / "iso/debian", "/merged/debian"));
  // A link to it, given as the input, is the table too.
  t.link(t / "out/table.vfs", "out/link.vfs");
  build("out/table.vfs", "out/link.vfs");
  EXPECT_EQ(t.read("out/table.vfs"), "server|line\r\n" +
                                         vfsLine(t / "iso/debian", "/merged/debian") +
                                         vfsLine(t / "iso/debian", "/merged/debian"));
  // Its neighbour with the same first letters is another table.
  t.file("out/table.vfs2", "other|line\r\n");
  build("out/table.vfs", "out/table.vfs2");
  EXPECT_EQ(t.read("out/table.vfs"), "other|line\r\n" + vfsLine(t / "links", "/merged") +
                                         vfsLine(t / "iso/debian", "/merged/debian"));
}

TEST_F(TableJournal, AReplacedTableKeepsEveryExtendedAttribute) {
  std::string table = t / "out/table.vfs";
  if (::setxattr(table.c_str(), "user.kelvane-test", "kept", 4, 0) != 0)
    GTEST_SKIP() << "this file system takes no user attributes";
  ASSERT_EQ(::setxattr(table.c_str(), "user.kelvane-second", "too", 3, 0), 0);
  struct stat before {};
  ASSERT_EQ(::stat(table.c_str(), &before), 0);
  build();
  for (auto [name, kept] :
       {std::pair{"user.kelvane-test", "kept"}, {"user.kelvane-second", "too"}}) {
    char value[8] = {};
    EXPECT_EQ(::getxattr(table.c_str(), name, value, sizeof value),
              static_cast<ssize_t>(std::strlen(kept)))
        << name;
    EXPECT_STREQ(value, kept);
  }
  EXPECT_EQ(t.read("out/table.vfs"), expected);
  struct stat after {};
  ASSERT_EQ(::stat(table.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not written over";
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
