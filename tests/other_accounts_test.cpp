// A build run by root for a server whose own account owns some of the folders it names:
// that account cannot make it write, read, keep or follow anything it could not touch
// itself. The other account is played by giving folders and links to uid 65534.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

#include "base/short_hash.h"
#include "engine/build_lock.h"
#include "engine/build_run.h"
#include "posix/posix_journal_place.h"
#include "startup/form_load.h"
#include "tests/support/failure_of.h"
#include "tests/support/process.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::ScratchTree;
using testing::TestPlatform;
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
  // The journal a build of the table at vfs would leave if stopped while writing it, holding
  // bytes, in the state folder state (relative), which the build then uses.
  std::string plantJournal(const std::string& state, const std::string& bytes) {
    struct stat st {};
    EXPECT_EQ(::stat(vfs.c_str(), &st), 0);
    std::string journal = state + "/kelvane/" + posix::journalName(st);
    t.file(journal, "kelvane table journal 1\n" + std::to_string(st.st_dev) + " " +
                        std::to_string(st.st_ino) + " " + std::to_string(bytes.size()) + "\n" +
                        bytes + "\nend\n");
    own(journal, 0, 0600);
    platform.stateFolder = t / state;
    return journal;
  }

  ScratchTree t;
  TestPlatform platform;
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

// The table below a folder of root's with mode, one level down.
std::function<void(OtherAccount&)> tableThroughFolderOfMode(mode_t mode) {
  return [mode](OtherAccount& o) {
    o.t.folder("grp/sub");
    o.own("grp", 0, mode);
    o.vfs = o.t / "grp/sub/table.vfs";
  };
}

// A table of root's with a second name, in a folder of root's with mode; the input table
// too, when it is the one with two names.
std::function<void(OtherAccount&)> secondNameInFolderOfMode(mode_t mode, bool input) {
  return [mode, input](OtherAccount& o) {
    o.t.file("grp/table.vfs", "server's\r\n");
    ASSERT_EQ(::link((o.t / "grp/table.vfs").c_str(), (o.t / "grp/alias.vfs").c_str()), 0);
    o.own("grp", 0, mode);
    (input ? o.vfsOld : o.vfs) = o.t / "grp/table.vfs";
    o.platform.stateFolder = o.t / "state";
  };
}

const char* const kAttack = "attacker|/|root|root|777|rwxdlfm|0|0|0|0|0|0|0|0\r\n";

// A journal planted for root's table in the state folder state, given owner and mode, then
// changed by more (it, or its folders).
std::function<void(OtherAccount&)> plantedJournal(const char* state, uid_t owner, mode_t mode,
                                                  void (*more)(OtherAccount&,
                                                               const std::string&) = nullptr) {
  return [=](OtherAccount& o) {
    o.t.file("out/table.vfs", "server's\r\n");
    std::string journal = o.plantJournal(state, kAttack);
    o.own(journal, owner, mode);
    if (more) more(o, journal);
  };
}

// The table reached through a link that uid made in a folder of root's open to all (1777).
std::function<void(OtherAccount&)> tableThroughStickyLink(uid_t uid) {
  return [uid](OtherAccount& o) {
    o.t.folder("tmp");
    o.own("tmp", 0, 01777);
    o.t.link(o.t / "out", "tmp/to");
    o.own("tmp/to", uid);
    o.vfs = o.t / "tmp/to/table.vfs";
  };
}

// Beside every way to steer the build, the nearest arrangement that must still build; the
// dry run says the same.
TEST_P(Steering, IsRefusedBeforeAnythingChanges) {
  t.folder("links/stale");
  GetParam().arrange(*this);
  auto victim = t.tree("victim");
  std::string table = testing::pathExists(vfs) ? testing::readBytes(vfs) : "";
  for (bool dryRun : {true, false}) {
    SCOPED_TRACE(dryRun ? "dry run" : "build");
    std::ostringstream dry;
    if (!GetParam().refused) {
      EXPECT_NO_THROW(run(dryRun ? &dry : nullptr));
      continue;
    }
    try {
      run(dryRun ? &dry : nullptr);
      ADD_FAILURE() << "built";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.number(), kErrRefused) << failure.description();
      EXPECT_NE(failure.description().find(t.path()), std::string::npos) << failure.description();
    }
    EXPECT_EQ(t.read("secret"), "root only\r\n");
    EXPECT_EQ(t.tree("victim"), victim);
    EXPECT_TRUE(t.has("links/stale"));
    if (!table.empty()) {
      EXPECT_EQ(testing::readBytes(vfs), table);
    }
  }
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
              false},
        Steer{"table_through_a_folder_its_group_may_write", tableThroughFolderOfMode(0775), true},
        Steer{"table_through_a_folder_only_root_may_write", tableThroughFolderOfMode(0755), false},
        Steer{"settings_its_group_may_write", [](OtherAccount& o) { o.settingsMode = 0664; }, true},
        Steer{"table_through_a_link_another_made_in_a_sticky_folder",
              tableThroughStickyLink(kOther), true},
        Steer{"table_through_a_link_root_made_in_a_sticky_folder", tableThroughStickyLink(0),
              false}),
    [](const auto& info) { return std::string(info.param.name); });

// What a table written in place, and its journal, may be and where.
INSTANTIATE_TEST_SUITE_P(
    Journals, Steering,
    ::testing::Values(
        Steer{"table_with_a_second_name_in_a_folder_its_group_may_write",
              secondNameInFolderOfMode(0775, false), true},
        Steer{"input_with_a_second_name_in_a_folder_its_group_may_write",
              secondNameInFolderOfMode(0775, true), true},
        Steer{"table_with_a_second_name_in_a_folder_only_root_may_write",
              secondNameInFolderOfMode(0755, false), false},
        Steer{"input_with_a_second_name_in_a_folder_only_root_may_write",
              secondNameInFolderOfMode(0755, true), false},
        Steer{"journal_in_a_state_folder_of_its_own",
              plantedJournal("theirs", kOther, 0600,
                             [](OtherAccount& o, const std::string&) {
                               o.own("theirs");
                               o.own("theirs/kelvane");
                             }),
              true},
        Steer{"journal_in_a_state_folder_its_group_may_write",
              plantedJournal("state", 0, 0600,
                             [](OtherAccount& o, const std::string&) {
                               o.own("state/kelvane", 0, 0770);
                             }),
              true},
        Steer{"journal_of_its_own_in_roots_state_folder", plantedJournal("state", kOther, 0600),
              true},
        Steer{"journal_of_roots_with_a_second_name",
              plantedJournal("state", 0, 0600,
                             [](OtherAccount& o, const std::string& journal) {
                               ::link((o.t / journal).c_str(), (o.t / "state/second").c_str());
                             }),
              true},
        Steer{"journal_of_roots_others_may_read", plantedJournal("state", 0, 0644), true},
        Steer{"journal_a_link_to_roots_file",
              plantedJournal("state", 0, 0600,
                             [](OtherAccount& o, const std::string& journal) {
                               ::rename((o.t / journal).c_str(), (o.t / "state/moved").c_str());
                               o.t.link(o.t / "state/moved", journal);
                             }),
              true},
        Steer{"journal_of_roots_in_roots_state_folder", plantedJournal("state", 0, 0600), false},
        Steer{"no_journal_in_a_state_folder_of_its_own",
              [](OtherAccount& o) {
                o.t.file("out/table.vfs", "server's\r\n");
                o.t.folder("theirs/kelvane");
                o.own("theirs");
                o.platform.stateFolder = o.t / "theirs";
              },
              false},
        Steer{"write_in_place_with_a_state_folder_of_its_own",
              [](OtherAccount& o) {
                secondNameInFolderOfMode(0755, false)(o);
                o.t.folder("theirs");
                o.own("theirs");
                o.platform.stateFolder = o.t / "theirs";
              },
              true}),
    [](const auto& info) { return std::string(info.param.name); });

// With the same table in and out nothing is removed first, so a link planted where a genre
// folder goes would lead the creation elsewhere.
TEST_F(OtherAccount, AFolderIsNeverMadeThroughALinkWhereOneGoes) {
  vfs = vfsOld;
  // The first level of a genre of two, a relative link to a folder beside it: something
  // other than a folder, which the build does not make "b" through.
  source = t / "src/|a/b";
  t.folder("links/sibling");
  t.link("sibling", "links/a");
  Failure failure = testing::failureOf([&] { run(); });
  EXPECT_EQ(failure.action(), "Creating substructure (if exists)");
  EXPECT_NE(failure.description().find("something other than a folder"), std::string::npos)
      << failure.description();
  EXPECT_EQ(t.tree("links/sibling"), Names{});
  source = t / "src/|g";
  t.link(t / "victim", "links/g");
  EXPECT_EQ(testing::failureOf([&] { run(); }).action(), "Creating substructure (if exists)");
  EXPECT_EQ(t.tree("victim"), Names{"keep/"});
  ::unlink((t / "links/g").c_str());
  t.folder("links/g");
  run();
  EXPECT_EQ(t.tree("links"), (Names{"a@", "g/", "g/debian/", "sibling/"}));
}

TEST_F(OtherAccount, OnlyFoldersThisBuildCouldHaveMadeAreKept) {
  t.folder("src/ubuntu");
  t.folder("links/debian");
  t.folder("links/ubuntu");
  own("links/ubuntu", kOther, 0777);
  // A stale folder of the build's could stand in for the missing one, once the one of that
  // name that is not the build's is gone: the dry run says both go and one is made.
  t.folder("links/stale");
  struct stat before, after;
  ASSERT_EQ(::stat((t / "links/debian").c_str(), &before), 0);
  std::ostringstream dry;
  run(&dry);
  for (const char* line : {"remove @/ubuntu\n", "remove @/stale\n", "create @/ubuntu\n",
                           "summary: 2 to remove, 1 to create;"}) {
    std::string expected = line;
    if (expected[7] == '@') expected.replace(7, 1, linkRoot);
    EXPECT_NE(dry.str().find(expected), std::string::npos) << expected << dry.str();
  }
  run();
  EXPECT_EQ(t.tree("links"), (Names{"debian/", "ubuntu/"}));
  ASSERT_EQ(::stat((t / "links/debian").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(::stat((t / "links/ubuntu").c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, 0u);
  mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(after.st_mode & 07777, 0777 & ~mask);
  // The owner alone wrong, or the mode alone: either is enough to make it again.
  t.folder("src/arch");
  t.folder("src/gentoo");
  t.folder("links/arch");
  t.folder("links/gentoo");
  own("links/arch", kOther, 0777 & ~mask);
  own("links/gentoo", 0, (0777 & ~mask) | 0002);
  struct stat arch, gentoo;
  ASSERT_EQ(::stat((t / "links/arch").c_str(), &arch), 0);
  ASSERT_EQ(::stat((t / "links/gentoo").c_str(), &gentoo), 0);
  run();
  ASSERT_EQ(::stat((t / "links/arch").c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, 0u);
  ASSERT_EQ(::stat((t / "links/gentoo").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0777 & ~mask);
  // What it hid in one of its own stops the build, as in any folder to remove.
  own("links/ubuntu", kOther, 0777);
  t.file("links/ubuntu/.theirs");
  EXPECT_EQ(testing::failureOf([&] { run(); }).action(), "Deleting old structure");
  // In a link root with the set-group-ID bit, new folders take its group and the bit: they
  // are still this build's own, kept by the next build, whose dry run has nothing to do.
  linkRoot = t / "shared";
  t.folder("shared");
  ASSERT_EQ(::chown(linkRoot.c_str(), 0, kOther), 0);
  ASSERT_EQ(::chmod(linkRoot.c_str(), 02775), 0);
  run();
  auto made = t.tree("shared");
  ASSERT_EQ(::stat((t / "shared/debian").c_str(), &before), 0);
  ASSERT_NE(before.st_mode & S_ISGID, 0u);
  std::ostringstream second;
  run(&second);
  EXPECT_EQ(second.str(),
            "summary: 0 to remove, 0 to create; table lines: 0 added, 0 dropped; conflicts: 0\n");
  run();
  ASSERT_EQ(::stat((t / "shared/debian").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(t.tree("shared"), made);
}

// A stale folder becomes a missing mirror folder by a rename only when nothing was written
// into it once it was emptied.
TEST_F(OtherAccount, AStaleFolderWrittenIntoWhileEmptiedNeverBecomesAMirrorFolder) {
  t.file("links/stale/file");
  for (bool race : {false, true}) {
    platform.faults.beforeOperation = [&](testing::Op op, const std::string& path) {
      if (race && op == testing::Op::Rename && path == t / "links/stale")
        testing::writeBytes(path + "/planted", "x");
    };
    if (!race) {
      run();
      EXPECT_EQ(t.tree("links"), Names{"debian/"});
      ::rename((t / "links/debian").c_str(), (t / "links/stale").c_str());
      continue;
    }
    EXPECT_EQ(testing::failureOf([&] { run(); }).action(), "Deleting old structure");
  }
}

TEST_F(OtherAccount, ALinkInASourceCountsOnlyWhenRootOrTheSourcesOwnerMadeIt) {
  t.link(t / "victim", "src/theirs");
  own("src/theirs");
  t.link(t / "victim", "src/roots");
  std::ostringstream dry;
  run(&dry);
  EXPECT_NE(dry.str().find("pass over " + (t / "src/theirs")), std::string::npos) << dry.str();
  ASSERT_EQ(platform.messages.warnings.size(), 1u);
  run();
  EXPECT_EQ(t.tree("links"), (Names{"debian/", "roots/"}));
  // Made by the owner of the folder it is in, it counts.
  own("src");
  run();
  EXPECT_EQ(t.tree("links"), (Names{"debian/", "roots/", "theirs/"}));
}

// The server's own account runs its builds too: owning the link root and the table's folder
// (or only the table, in a folder of root's that takes no new file) is all it needs, before
// and after root built there. Beside it, a link root it does not own still fails.
TEST_F(OtherAccount, TheServersAccountBuildsWithNoRightBeyondItsOwnWork) {
  ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
  t.folder("srv/merged/stale");
  t.file("srv/tables/vfs.txt", "old|line\r\n");
  t.file("etc/vfs.txt", "old|line\r\n");
  t.folder("state");
  for (auto folder : {"srv/merged/stale", "srv/merged", "srv/tables", "state"}) own(folder);
  own("srv/tables/vfs.txt", kOther, 0644);
  own("etc/vfs.txt", kOther, 0644);
  std::string program = testing::installKelvaneCopy(t / "program");
  auto build = [&](uid_t uid, const std::string& table, const std::string& linkRoot,
                   bool dryRun = false, testing::Environment environment = {}) {
    t.file("settings.dat", testing::settingsText({t / linkRoot, t / table, t / "old.vfs", "/merged",
                                                  "anon", "users", "755"},
                                                 {source}));
    own("settings.dat", uid, 0644);
    std::vector<std::string> args{"?" + (t / "settings.dat")};
    if (dryRun) args.insert(args.begin(), "--dry-run");
    if (environment.empty()) environment = {{"XDG_STATE_HOME", t / "state"}};
    return testing::runProcess(program, args, t.path(), environment, static_cast<int>(uid));
  };
  for (auto table : {"srv/tables/vfs.txt", "etc/vfs.txt"}) {
    for (uid_t uid : {kOther, uid_t{0}, kOther}) {
      auto result = build(uid, table, "srv/merged");
      EXPECT_EQ(result.status, 0) << table << " as uid " << uid << ": " << result.err;
    }
    EXPECT_NE(t.read(table).find(t / "src/debian"), std::string::npos) << table;
  }
  // A journal in the account's state folder is its own builds' to put back, never root's
  // (whose XDG_STATE_HOME a plain su keeps).
  vfs = t / "etc/vfs.txt";
  std::string built = t.read("etc/vfs.txt");
  std::string journal = plantJournal("state", "theirs|/|root|root|777|rwxdlfm|0|0|0|0|0|0|0|0\r\n");
  own(journal, kOther, 0600);
  auto refused = build(0, "etc/vfs.txt", "srv/merged");
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_EQ(t.read("etc/vfs.txt"), built);
  EXPECT_TRUE(t.has(journal));
  auto putBack = build(kOther, "etc/vfs.txt", "srv/merged");
  EXPECT_EQ(putBack.status, 0) << putBack.err;
  EXPECT_NE(putBack.err.find("was put back"), std::string::npos) << putBack.err;
  EXPECT_FALSE(t.has(journal));
  EXPECT_EQ(t.tree("srv/merged"), Names{"debian/"});
  // Each lock is the account's own, made by whichever build came first; in root's folder
  // etc/, root's build made it for the account's table.
  for (auto lock : {std::string("srv/merged/.kelvane.lock"),
                    "srv/tables/.kelvane-" + shortHash("vfs.txt") + ".lock",
                    "etc/.kelvane-" + shortHash("vfs.txt") + ".lock"}) {
    struct stat st {};
    EXPECT_EQ(::stat((t / lock).c_str(), &st), 0) << lock;
    EXPECT_EQ(st.st_uid, kOther) << lock;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << lock;
  }
  t.folder("srv/roots/stale");
  EXPECT_EQ(build(kOther, "srv/tables/vfs.txt", "srv/roots").status, 1);
  EXPECT_TRUE(t.has("srv/roots/stale"));
  // Its dry run asks what its build will need, and fails as the build does, in its words,
  // before anything goes: a link root to make in a folder of root's; a table it may write only
  // in place, with no home for the journal's state folder (a system account's usual one).
  t.folder("srv/merged/stale");
  own("srv/merged/stale");
  struct Need {
    const char *table, *linkRoot;
    testing::Environment environment;
    std::string said;
  } needs[] = {
      {"srv/tables/vfs.txt",
       "roots/links",
       {{"XDG_STATE_HOME", t / "roots/state"}},
       "Cannot create folder \"" + (t / "roots/links") + "\": "},
      {"etc/vfs.txt",
       "srv/merged",
       {{"XDG_STATE_HOME", ""}, {"HOME", "/nonexistent"}},
       "Cannot create folder \"/nonexistent\": "},
  };
  t.folder("roots");
  std::string table = t.read("etc/vfs.txt");
  for (const Need& need : needs)
    for (bool dryRun : {true, false}) {
      auto result = build(kOther, need.table, need.linkRoot, dryRun, need.environment);
      EXPECT_EQ(result.status, 1) << need.linkRoot << dryRun << result.err;
      EXPECT_NE(result.err.find(need.said + testing::systemErrorText(EACCES)), std::string::npos)
          << dryRun << result.err;
    }
  EXPECT_TRUE(t.has("srv/merged/stale"));
  EXPECT_FALSE(t.has("roots/links"));
  EXPECT_EQ(t.read("etc/vfs.txt"), table);
  // A table of root's in the account's own folder cannot be replaced keeping its owner, nor
  // written: the dry run says so as the build does, before anything goes.
  t.file("srv/tables/roots.txt", "root's\r\n");
  t.folder("srv/merged/stale");
  own("srv/merged/stale");
  for (bool dryRun : {true, false})
    EXPECT_EQ(build(kOther, "srv/tables/roots.txt", "srv/merged", dryRun).status, 1) << dryRun;
  EXPECT_TRUE(t.has("srv/merged/stale"));
  EXPECT_EQ(t.read("srv/tables/roots.txt"), "root's\r\n");
}

// Holds a lock of flock's on path as the other account (opening it as root first where that
// account may not, as a descriptor handed over would) until the returned function is called.
std::function<void()> holdAsOther(const std::string& path) {
  int held[2], done[2];
  if (::pipe(held) != 0 || ::pipe(done) != 0) return [] {};
  pid_t holder = ::fork();
  if (holder == 0) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0 || ::setuid(kOther) != 0 || ::flock(fd, LOCK_SH) != 0) ::_exit(1);
    char byte = 'h';
    if (::write(held[1], &byte, 1) != 1 || ::read(done[0], &byte, 1) != 1) ::_exit(1);
    ::_exit(0);
  }
  char byte = 0;
  EXPECT_EQ(::read(held[0], &byte, 1), 1) << "could not hold " << path;
  return [=] {
    EXPECT_EQ(::write(done[1], "g", 1), 1);
    ::waitpid(holder, nullptr, 0);
    for (int fd : {held[0], held[1], done[0], done[1]}) ::close(fd);
  };
}

// Locks are files only the builders can open: what any other account can open (the link
// root, the table and the folders holding them) holds no build, and what it plants in a
// folder it may write is not used; a build of the builders' own still waits its bound.
TEST_F(OtherAccount, NoAccountButTheBuildersCanHoldOrPoisonALock) {
  ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
  t.folder("tmp");
  t.folder("links/stale");
  ASSERT_EQ(::chmod((t / "tmp").c_str(), 01777), 0);
  vfs = t / "tmp/table.vfs";
  t.file("tmp/table.vfs", "old\r\n");
  for (auto planted :
       {".kelvane-" + shortHash("table.vfs") + ".lock", std::string(".kelvane.lock")}) {
    t.file("tmp/" + planted, "theirs");
    own("tmp/" + planted, kOther, 0644);
  }
  writeSettings();
  auto before = t.tree("tmp");
  for (auto held : {"links", "tmp", "tmp/table.vfs", "."}) {
    auto release = holdAsOther(t / held);
    state = AppState();
    formLoad(platform, "?" + (t / "settings.dat"), state);
    state.waitSeconds = 0;
    EXPECT_NO_THROW(runBuild(platform, state)) << held;
    release();
  }
  EXPECT_EQ(t.tree("tmp"), before) << "nothing made or used in a folder others may write";
  // The lock is the link root's own, hidden, of its owner, open to no one else.
  struct stat st {};
  ASSERT_EQ(::stat((t / "links/.kelvane.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(t.tree("links"), Names{"debian/"});
  // Held by a process of a builder: the build waits its bound, then fails.
  auto locks = takeTurns(platform, {{t / "links/.", Guarded::LinkRoot}}, false, 0);
  ASSERT_EQ(locks.size(), 1u);
  state = AppState();
  formLoad(platform, "?" + (t / "settings.dat"), state);
  state.waitSeconds = 0;
  Failure failure = testing::failureOf([&] { runBuild(platform, state); });
  EXPECT_EQ(failure.number(), kErrLockHeld);
  // This very process holds it, which it never names as another.
  EXPECT_NE(failure.description().find("by another process"), std::string::npos)
      << failure.description();
  EXPECT_FALSE(failure.fix().empty());
}

// A lock file that is not a 0600 plain file with one name, of the owner of what it guards,
// is refused before anything is removed, by the build and the dry run; the nearest one that
// is stands.
TEST_F(OtherAccount, ALockFileThatOthersCouldOpenOrThatIsNoneIsRefused) {
  t.folder("links/stale");
  struct Row {
    const char* name;
    std::function<void()> plant;
    bool refused;
  };
  std::string lock = t / "links/.kelvane.lock";
  auto plant = [&](mode_t mode) {
    t.file("links/.kelvane.lock");
    ::chmod(lock.c_str(), mode);
  };
  Row rows[] = {
      {"of the owner", [&] { plant(0600); }, false},
      {"open to all", [&] { plant(0644); }, true},
      {"of another",
       [&] {
         plant(0600);
         own("links/.kelvane.lock", kOther, 0600);
       },
       true},
      // Even to a file that would pass as a lock: a lock is never taken through a link.
      {"a link",
       [&] {
         plant(0600);
         ::rename(lock.c_str(), (t / "links/.second").c_str());
         ::symlink(".second", lock.c_str());
       },
       true},
      {"a pipe", [&] { ::mkfifo(lock.c_str(), 0600); }, true},
      {"two names",
       [&] {
         plant(0600);
         ::link(lock.c_str(), (t / "links/.second").c_str());
       },
       true},
  };
  for (const Row& row : rows) {
    ::unlink(lock.c_str());
    ::unlink((t / "links/.second").c_str());
    t.folder("links/stale");
    row.plant();
    for (bool dryRun : {true, false}) {
      std::ostringstream dry;
      if (!row.refused) {
        EXPECT_NO_THROW(run(dryRun ? &dry : nullptr)) << row.name;
        continue;
      }
      Failure failure = testing::failureOf([&] { run(dryRun ? &dry : nullptr); });
      EXPECT_EQ(failure.number(), kErrRefused) << row.name;
      EXPECT_NE(failure.description().find(lock), std::string::npos) << failure.description();
      EXPECT_NE(failure.fix().find("Remove"), std::string::npos) << row.name;
      EXPECT_TRUE(t.has("links/stale")) << row.name;
    }
  }
}

// A dry run beside a running build: it makes, removes and renames nothing and changes no
// modification time, so the build's temporary table cannot be swapped for an empty one. The
// build then takes a name no one could have put something at first, in a folder open to all,
// and removes only what a build of root's left there.
TEST_F(OtherAccount, ADryRunLeavesTheFoldersOfTheTableAndTheLinkRootAsTheyAre) {
  ASSERT_EQ(::chmod(t.path().c_str(), 0755), 0);
  t.folder("tmp");
  own("tmp", 0, 01777);
  vfs = t / "tmp/table.vfs";
  t.file("tmp/table.vfs", "server's\r\n");
  std::string mark = "tmp/.kelvane-" + shortHash("table.vfs");
  std::string running = mark + "-0123456789abcdef.tmp";
  t.file(running, "a build's");
  t.folder(mark + ".tmp");  // where an older build would have put its temporary table
  t.file(mark + "-theirs.tmp", "theirs");
  for (auto planted : {mark + ".tmp", mark + "-theirs.tmp"}) own(planted, kOther, 0600);
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
  auto planted = t.tree("tmp");
  EXPECT_NO_THROW(runWritten(nullptr));
  planted.erase(std::find(planted.begin(), planted.end(), running.substr(4)));
  EXPECT_EQ(t.tree("tmp"), planted) << "only a build's own leftover goes";
  EXPECT_NE(t.read("tmp/table.vfs").find(t / "src/debian"), std::string::npos);
}

}  // namespace
}  // namespace kelvane
