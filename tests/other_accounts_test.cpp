// A build run by root for a server whose own account owns some of the folders it names:
// that account cannot make it write, read, keep or follow anything it could not touch
// itself. The other account is played by giving folders and links to uid 65534.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "engine/build_lock.h"
#include "engine/build_run.h"
#include "platform/short_hash.h"
#include "startup/form_load.h"
#include "tests/support/fake_platform.h"
#include "tests/support/scratch_tree.h"

namespace kelvane {
namespace {

using testing::FakePlatform;
using testing::ScratchTree;
using Names = std::vector<std::string>;

constexpr uid_t kOther = 65534;

class OtherAccount : public ::testing::Test {
 public:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files to another account needs root";
    t.file("old.vfs", "old|line\r\n");
    t.file("secret", "root only\r\n");
    t.folder("src/debian");
    t.folder("victim/keep");
    t.folder("out");
  }
  void own(const std::string& relative, uid_t uid = kOther, mode_t mode = 0755) {
    struct stat st;
    ASSERT_EQ(::lchown((t / relative).c_str(), uid, uid), 0) << relative;
    ASSERT_EQ(::lstat((t / relative).c_str(), &st), 0);
    if (!S_ISLNK(st.st_mode)) {
      ASSERT_EQ(::chmod((t / relative).c_str(), mode), 0) << relative;
    }
  }
  void writeSettings() {
    t.file("settings.dat",
           testing::settingsText({linkRoot, vfs, vfsOld, "/merged", "anon", "users", "755"},
                                 {source}));
    own("settings.dat", settingsOwner, settingsMode);
  }
  void run(std::ostream* dryRun = nullptr) {
    writeSettings();
    runWritten(dryRun);
  }
  void runWritten(std::ostream* dryRun) {
    state = AppState();
    formLoad(platform, "?" + (t / "settings.dat"), state);
    runBuild(platform, state, dryRun);
  }

  ScratchTree t;
  FakePlatform platform;
  AppState state;
  std::string linkRoot = t / "links", vfs = t / "out/table.vfs", vfsOld = t / "old.vfs";
  std::string source = t / "src/";
  uid_t settingsOwner = 0;
  mode_t settingsMode = 0644;
};

struct Steer {
  const char* name;
  std::function<void(OtherAccount&)> arrange;
  bool refused;
};

void PrintTo(const Steer& steer, std::ostream* out) { *out << steer.name; }

class Steering : public OtherAccount, public ::testing::WithParamInterface<Steer> {};

// Beside every way to steer the build, the nearest arrangement that must still build.
TEST_P(Steering, IsRefusedBeforeAnythingChanges) {
  t.folder("links/stale");
  GetParam().arrange(*this);
  auto victim = t.tree("victim");
  if (!GetParam().refused) {
    EXPECT_NO_THROW(run());
    return;
  }
  try {
    run();
    FAIL() << "built";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), kErrRefused) << failure.description();
    EXPECT_NE(failure.description().find(t.path()), std::string::npos) << failure.description();
  }
  EXPECT_EQ(t.read("secret"), "root only\r\n");
  EXPECT_EQ(t.tree("victim"), victim);
  EXPECT_TRUE(t.has("links/stale"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Steering,
    ::testing::Values(
        Steer{"table_link_in_its_folder",
              [](OtherAccount& o) {
                o.t.link(o.t / "secret", "out/table.vfs");
                o.own("out");
              },
              true},
        Steer{"table_plain_in_its_folder",
              [](OtherAccount& o) {
                o.t.file("out/table.vfs");
                o.own("out");
              },
              false},
        Steer{"input_link_in_its_folder",
              [](OtherAccount& o) {
                o.t.folder("in");
                o.t.link(o.t / "secret", "in/old.vfs");
                o.own("in");
                o.vfsOld = o.t / "in/old.vfs";
              },
              true},
        Steer{"link_root_link_in_its_folder",
              [](OtherAccount& o) {
                o.t.folder("ftp");
                o.t.link(o.t / "victim", "ftp/links");
                o.own("ftp");
                o.linkRoot = o.t / "ftp/links";
              },
              true},
        Steer{"link_root_folder_in_its_folder",
              [](OtherAccount& o) {
                o.t.folder("ftp/links/stale");
                o.own("ftp");
                o.linkRoot = o.t / "ftp/links";
              },
              false},
        Steer{"table_through_its_folder",
              [](OtherAccount& o) {
                o.t.folder("ftp/sub");
                o.own("ftp");
                o.vfs = o.t / "ftp/sub/table.vfs";
              },
              true},
        Steer{"source_link_in_its_folder",
              [](OtherAccount& o) {
                o.t.folder("ftp");
                o.t.link(o.t / "victim", "ftp/up");
                o.own("ftp");
                o.source = o.t / "ftp/up/";
              },
              true},
        Steer{"settings_of_its_own", [](OtherAccount& o) { o.settingsOwner = kOther; }, true},
        Steer{"settings_anyone_may_write", [](OtherAccount& o) { o.settingsMode = 0666; }, true},
        Steer{"its_own_in_a_sticky_folder_beside_roots",
              [](OtherAccount& o) {
                o.t.folder("tmp");
                o.own("tmp", 0, 01777);
                o.t.file("tmp/theirs");
                o.own("tmp/theirs");
                o.vfs = o.t / "tmp/table.vfs";
              },
              false}),
    [](const auto& info) { return std::string(info.param.name); });

// With the same table in and out nothing is removed first, so a link planted where a genre
// folder goes would lead the creation elsewhere.
TEST_F(OtherAccount, AFolderIsNeverMadeThroughALinkWhereOneGoes) {
  vfs = vfsOld;
  source = t / "src/|g";
  t.folder("links");
  t.link(t / "victim", "links/g");
  EXPECT_THROW(run(), Failure);
  EXPECT_EQ(state.runStep.action, "Creating substructure (if exists)");
  EXPECT_EQ(t.tree("victim"), Names{"keep/"});
  ::unlink((t / "links/g").c_str());
  t.folder("links/g");
  run();
  EXPECT_EQ(t.tree("links"), (Names{"g/", "g/debian/"}));
}

TEST_F(OtherAccount, OnlyFoldersThisBuildCouldHaveMadeAreKept) {
  t.folder("src/ubuntu");
  t.folder("links/debian");
  t.folder("links/ubuntu");
  own("links/ubuntu", kOther, 0777);
  struct stat before, after;
  ASSERT_EQ(::stat((t / "links/debian").c_str(), &before), 0);
  run();
  ASSERT_EQ(::stat((t / "links/debian").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(::stat((t / "links/ubuntu").c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, 0u);
  mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(after.st_mode & 07777, 0777 & ~mask);
  // What it hid in one of its own stops the build, as in any folder to remove.
  own("links/ubuntu", kOther, 0777);
  t.file("links/ubuntu/.theirs");
  EXPECT_THROW(run(), Failure);
  EXPECT_EQ(state.runStep.action, "Deleting old structure");
}

// A stale folder becomes a missing mirror folder by a rename only when nothing was written
// into it once it was emptied.
TEST_F(OtherAccount, AStaleFolderWrittenIntoWhileEmptiedNeverBecomesAMirrorFolder) {
  t.file("links/stale/file");
  for (bool race : {false, true}) {
    platform.beforeOperation = [&](testing::Op op, const std::string& path) {
      if (race && op == testing::Op::Rename && path == t / "links/stale")
        testing::writeBytes(path + "/planted", "x");
    };
    if (!race) {
      run();
      EXPECT_EQ(t.tree("links"), Names{"debian/"});
      ::rename((t / "links/debian").c_str(), (t / "links/stale").c_str());
      continue;
    }
    EXPECT_THROW(run(), Failure);
    EXPECT_EQ(state.runStep.action, "Deleting old structure");
  }
}

TEST_F(OtherAccount, ALinkInASourceCountsOnlyWhenRootOrTheSourcesOwnerMadeIt) {
  t.link(t / "victim", "src/theirs");
  own("src/theirs");
  t.link(t / "victim", "src/roots");
  std::ostringstream dry;
  run(&dry);
  EXPECT_NE(dry.str().find("pass over " + (t / "src/theirs")), std::string::npos) << dry.str();
  ASSERT_EQ(platform.warnings.size(), 1u);
  run();
  EXPECT_EQ(t.tree("links"), (Names{"debian/", "roots/"}));
  // Made by the owner of the folder it is in, it counts.
  own("src");
  run();
  EXPECT_EQ(t.tree("links"), (Names{"debian/", "roots/", "theirs/"}));
}

TEST_F(OtherAccount, LocksCannotBeHeldOrPoisonedAndDoNotDependOnTheLinkRootExisting) {
  PosixPlatform real;
  auto held = real.openLock(t / "links", false);
  ASSERT_TRUE(held->tryHold());
  EXPECT_FALSE(real.openLock(t / "links/", false)->tryHold());
  t.folder("links");
  EXPECT_FALSE(real.openLock(t / "links/", false)->tryHold());
  // Open only to who may replace what it guards, and never changed once found.
  std::string lock = t / (".kelvane-" + shortHash("links") + ".lock");
  struct stat st;
  ASSERT_EQ(::stat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  held.reset();
  ASSERT_EQ(::chmod(lock.c_str(), 0644), 0);
  EXPECT_TRUE(real.openLock(t / "links", false)->tryHold());
  ASSERT_EQ(::stat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  // A pipe or a folder in its place fails at once rather than waiting or taking it.
  ::unlink(lock.c_str());
  ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
  EXPECT_THROW(real.openLock(t / "links", false), Failure);
  ::unlink(lock.c_str());
  t.folder(lock.substr(t.path().size() + 1));
  EXPECT_THROW(real.openLock(t / "links", false), Failure);
}

// A dry run beside a running build: it makes, removes and renames nothing and changes no
// modification time, so the build's temporary table cannot be swapped for an empty one.
TEST_F(OtherAccount, ADryRunLeavesTheFoldersOfTheTableAndTheLinkRootAsTheyAre) {
  t.file("out/table.vfs", "server's\r\n");
  std::string running = "out/.kelvane-" + shortHash("table.vfs") + ".tmp";
  t.file(running, "a build's");
  auto everything = [&] {
    Names found;
    // Each path with its modification time: a folder given a file and its removal would
    // otherwise look the same.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(t.path())) {
      struct stat st {};
      ::lstat(entry.path().c_str(), &st);
      found.push_back(entry.path().string() + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                      std::to_string(st.st_mtim.tv_nsec));
    }
    return found;
  };
  writeSettings();
  auto before = everything();
  std::ostringstream dry;
  runWritten(&dry);
  EXPECT_EQ(everything(), before);
  EXPECT_EQ(t.read(running), "a build's");
}

}  // namespace
}  // namespace kelvane
