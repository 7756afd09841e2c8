// The cases where a dry run and its build once disagreed, each held both ways: the dry run
// first, then the build on the same tree, and they must end alike (exit, step, failure,
// what was printed against what was done). Beside each, the nearest case that must pass.

#ifndef _WIN32
#include <linux/fs.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "base/failure.h"
#include "base/visible_text.h"
#include "engine/link_removal.h"
#include "engine/plan.h"
#include "report/error_report.h"
#include "startup/run_program.h"
#include "tests/support/build_run_fixture.h"
#ifndef _WIN32
#include "tests/support/as_account.h"
#endif
#include "tests/support/system_setup.h"

namespace kelvane::testing {
namespace {

struct Outcome {
  bool ok = true;
  std::string action, description, printed;
};

class PlanCase : public BuildRun {
 public:
  Outcome run(std::initializer_list<std::string> mergeLines, bool dryRun) {
    load(mergeLines);
    return runLoaded(dryRun);
  }
  Outcome runLoaded(bool dryRun) {
    Outcome o;
    std::ostringstream out;
    asked.emplace_back();
    try {
      runBuild(platform, state, dryRun ? &out : nullptr);
    } catch (const Failure& failure) {
      o.ok = false;
      o.action = failure.action();
      o.description = failure.description();
    }
    o.printed = out.str();
    return o;
  }
  // The dry run, then the build: both must end alike; returns the dry run's.
  Outcome both(std::initializer_list<std::string> mergeLines) {
    load(mergeLines);
    auto before = t.tree("");
    Outcome dry = runLoaded(true);
    EXPECT_EQ(t.tree(""), before) << "the dry run changed something";
    Outcome built = run(mergeLines, false);
    EXPECT_EQ(dry.ok, built.ok) << dry.description << " / " << built.description;
    EXPECT_EQ(dry.action, built.action);
    if (sameWords) {
      EXPECT_EQ(dry.description, built.description);
    }
    return dry;
  }
  bool sameWords = true;  // the failures' descriptions too, not only their steps
#ifndef _WIN32
  std::unique_ptr<FileFlags> flags;  // cleared before the scratch tree goes
#endif
  // Each run's operations on the watched paths (below the scratch folder, each with the
  // label it is shown by), in order: "label: operation; ".
  void watch(std::map<std::string, std::string> labels) {
    asked.clear();
    platform.faults.beforeOperation = [this, labels](Op op, const std::string& path) {
      for (const auto& [watched, label] : labels)
        if (path == t / watched) asked.back() += label + ": " + opName(op) + "; ";
    };
  }
  std::vector<std::string> asked;
  size_t count(const std::string& printed, const std::string& line) {
    size_t n = 0;
    for (size_t at = 0; (at = printed.find(line, at)) != std::string::npos; at += line.size()) ++n;
    return n;
  }
};

#ifndef _WIN32
// (a) A read-only file in a stale folder: the dry run fails where the build does.
TEST_F(PlanCase, AReadOnlyFileInAStaleFolderFailsTheDryRunAsTheBuild) {
  t.folder("iso/debian");
  t.file("links/stale/file", "ro");
  ::chmod((t / "links/stale/file").c_str(), 0444);
  Outcome o = both({t / "iso/"});
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.description.find("read-only"), std::string::npos) << o.description;
  EXPECT_EQ(o.action, "Deleting old structure");
  EXPECT_TRUE(t.has("links/stale/file"));
  // Nearest: the same file writable goes, printed and counted.
  ::chmod((t / "links/stale/file").c_str(), 0644);
  o = both({t / "iso/"});
  EXPECT_TRUE(o.ok) << o.description;
  EXPECT_NE(o.printed.find("remove " + linkRoot + "/stale/file\n"), std::string::npos) << o.printed;
  EXPECT_NE(o.printed.find("summary: 2 to remove"), std::string::npos) << o.printed;
  EXPECT_FALSE(t.has("links/stale"));
}

// A stale folder becomes the missing mirror folder by a rename only where a folder made now
// would be just like it and nothing else is named so but what goes first; else it goes and the
// missing one is made. The dry run says which, as the build does it, asking each question the
// build's steps ask; the build asks each once (the operations on the stale folder and its file).
TEST_F(PlanCase, AStaleFolderBecomesTheMissingOneOrGoesAsTheDryRunSays) {
  struct Row {
    const char* name;
    std::function<void(PlanCase&)> arrange;
    const char* printed;  // up to the table's counts; "@" stands for the link root
    // The operations of the dry run and of the build (the fake counts the rename it is
    // asked for before the real tree decides whether to do it).
    std::string dryAsked, built;
  } rows[] = {
      {"plain rename", [](PlanCase&) {},
       "remove @/stale/file\nremove @/stale\ncreate @/debian\nsummary: 2 to remove, 1 to create",
       "F: file test; S: file test; S: folder test; ",
       "F: file test; F: delete file; S: folder test; S: rename; "},
      {"another mode", [](PlanCase& c) { ::chmod((c.t / "links/stale").c_str(), 0777); },
       "remove @/stale/file\nremove @/stale\ncreate @/debian\nsummary: 2 to remove, 1 to create",
       "F: file test; S: file test; S: folder test; S: file test; ",
       "F: file test; F: delete file; S: folder test; S: rename; S: file test; S: remove folder; "},
      {"its name taken by a file that goes first",
       [](PlanCase& c) { c.t.file("links/debian", "x"); },
       "remove @/debian\nremove @/stale/file\nremove @/stale\ncreate @/debian\nsummary: 3 to "
       "remove, 1 to create",
       "F: file test; S: file test; S: folder test; ",
       "F: file test; F: delete file; S: folder test; S: rename; "},
  };
  t.folder("iso/debian");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(t / "links");
    t.file("links/stale/file");
    row.arrange(*this);
    watch({{"links/stale/file", "F"}, {"links/stale", "S"}});
    Outcome o = both({t / "iso/"});
    ASSERT_TRUE(o.ok) << o.description;
    std::string printed = row.printed;
    for (size_t at; (at = printed.find('@')) != std::string::npos;)
      printed.replace(at, 1, linkRoot);
    EXPECT_EQ(o.printed.substr(0, o.printed.find("; table lines")), printed);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], row.dryAsked);
    EXPECT_EQ(asked[1], row.built);
    // Renamed where the build removed no folder.
    EXPECT_EQ(t.tree("links"), Names{"debian/"});
  }
}

// Another program at work after the walk listed the stale folder, before its rename, made
// behind the walk: where the missing folder's name was taken, the stale folder goes and what
// took the name is found when the missing folder is made, as if refused at once; where the
// stale folder was written into, the folder renamed is found holding it.
TEST_F(PlanCase, AStaleFolderChangedBeforeItsRenameFailsTheBuildAtTheStepItConcerns) {
  struct Row {
    const char *written, *failure, *left;
  } rows[] = {
      {"links/debian", "something other than a folder", "links/debian"},
      {"links/stale/late", "was written into while the build emptied it", "links/debian/late"},
  };
  t.folder("iso/debian");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.written);
    std::filesystem::remove_all(t / "links");
    t.file("links/stale/file");
    load({t / "iso/"});
    platform.faults.beforeOperation = [&](Op op, const std::string& path) {
      if (op == Op::Rename && path == t / "links/stale") t.file(row.written, "x");
    };
    Outcome o = runLoaded(false);
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.description.find(row.failure), std::string::npos) << o.description;
    EXPECT_TRUE(t.has(row.left));
    EXPECT_FALSE(t.has("links/stale"));
  }
}

// A stale folder in a folder the running account may not write can neither go nor become the
// missing one: the dry run fails as the build does, in its words, and the folder stays.
TEST_F(PlanCase, AStaleFolderInAFolderTheAccountMayNotWriteFailsTheDryRunAsTheBuild) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play the server's account";
  constexpr uid_t account = 65534;
  t.folder("iso/debian");
  t.folder("links");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(t.path()))
    ASSERT_EQ(::lchown(entry.path().c_str(), account, account), 0);
  ASSERT_EQ(::chown(t.path().c_str(), account, account), 0);
  AsAccount as(account, account);
  // The account's own build first, which leaves its lock in the link root.
  EXPECT_TRUE(both({t / "iso/"}).ok);
  ASSERT_EQ(::rename((t / "links/debian").c_str(), (t / "links/stale").c_str()), 0);
  t.file("links/stale/file");
  ::chmod((t / "links").c_str(), 0555);
  Outcome o = both({t / "iso/"});
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.action, "Deleting old structure");
  EXPECT_EQ(o.description,
            "Cannot remove folder \"" + linkRoot + "/stale\": " + systemErrorText(EACCES));
  EXPECT_TRUE(t.isFolder("links/stale"));
  // A file there, which goes first, fails first, though its unlink is refused only once made.
  ::chmod((t / "links").c_str(), 0755);
  t.file("links/file");
  ::chmod((t / "links").c_str(), 0555);
  o = both({t / "iso/"});
  EXPECT_EQ(o.description,
            "Cannot delete file \"" + linkRoot + "/file\": " + systemErrorText(EACCES));
  // Nearest: where it may write, the folder becomes the missing one.
  ::chmod((t / "links").c_str(), 0755);
  o = both({t / "iso/"});
  EXPECT_TRUE(o.ok) << o.description;
  EXPECT_EQ(t.tree("links"), Names{"debian/"});
}

// (b, c) A pipe or socket in a stale folder: marked by the listing, the build fails with the
// true reason, and the folder never becomes a mirror folder, however often it is built.
TEST_F(PlanCase, APipeOrSocketInAStaleFolderFailsWithTheTrueReasonAndNeverBecomesAMirror) {
  for (const char* kind : {"pipe", "socket"}) {
    SCOPED_TRACE(kind);
    std::filesystem::remove_all(t / "links");
    t.folder("iso/debian");
    t.folder("links/stale");
    std::string path = t / "links/stale/thing";
    if (std::string(kind) == "pipe") {
      ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
    } else {
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      ASSERT_LT(path.size(), sizeof address.sun_path);
      std::strcpy(address.sun_path, path.c_str());
      ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      ::close(fd);
    }
    for (int again = 0; again < 2; ++again) {
      Outcome o = both({t / "iso/"});
      EXPECT_FALSE(o.ok);
      EXPECT_NE(o.description.find("a folder listing does not show"), std::string::npos)
          << o.description;
      EXPECT_EQ(o.description.find("was written into"), std::string::npos) << o.description;
      EXPECT_TRUE(t.has("links/stale/thing"));
      EXPECT_FALSE(t.has("links/debian"));
    }
  }
  // Nearest: the stale folder holding a plain file is emptied and reused. With a pipe under
  // the missing folder's name, which the listing leaves out, the name is asked about before
  // the stale folder becomes that folder, so both remove it and fail alike.
  for (bool pipe : {false, true}) {
    std::filesystem::remove_all(t / "links");
    t.file("links/stale/file");
    if (pipe) {
      ASSERT_EQ(::mkfifo((t / "links/debian").c_str(), 0644), 0);
    }
    Outcome o = both({t / "iso/"});
    EXPECT_EQ(o.ok, !pipe) << o.description;
    EXPECT_EQ(o.description.find("something other than a folder") != std::string::npos, pipe);
    EXPECT_EQ(t.isFolder("links/debian"), !pipe);
    EXPECT_FALSE(t.has("links/stale"));
  }
}
#endif

// A hidden entry in a stale folder fails the dry run as the build; one in a kept folder stays.
TEST_F(PlanCase, AHiddenEntryInAStaleFolderFailsBothAndInAKeptFolderStays) {
  t.folder("iso/debian");
  t.file("links/stale/.hidden");
  Outcome o = both({t / "iso/"});
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.description.find(native(linkRoot + "/stale")), std::string::npos) << o.description;
  std::filesystem::remove_all(t / "links");
  t.file("links/debian/.hidden");
  o = both({t / "iso/"});
  EXPECT_TRUE(o.ok) << o.description;
  EXPECT_TRUE(t.has("links/debian/.hidden"));
}

// (g) A folder that is both a mirror folder and a genre folder is printed and made once.
TEST_F(PlanCase, AFolderThatIsBothAMirrorAndAGenreIsPrintedAndCountedOnce) {
  t.folder("src1/music");
  t.folder("src2/jazz");
  t.folder("links");
  Outcome o = both({t / "src1/", t / "src2/|music"});
  EXPECT_TRUE(o.ok) << o.description;
  EXPECT_EQ(count(o.printed, "create " + native(linkRoot + "/music") + "\n"), 1u) << o.printed;
  EXPECT_NE(o.printed.find("summary: 0 to remove, 2 to create"), std::string::npos) << o.printed;
  EXPECT_TRUE(t.isFolder("links/music/jazz"));
}

// (h) A genre spelled "./linux//" is the folder linux: printed once, spelled as made.
TEST_F(PlanCase, AGenreSpelledWithDotsAndDoubleSeparatorsIsPrintedAsTheFolderItMakes) {
  t.folder("src1/linux");
  t.folder("src2/debian");
  t.folder("src2/arch");
  Outcome o = both({t / "src1/", t / "src2/|./linux//"});
  EXPECT_TRUE(o.ok) << o.description;
  EXPECT_EQ(o.printed.find("/./"), std::string::npos) << o.printed;
  EXPECT_EQ(count(o.printed, "create " + native(linkRoot + "/linux") + "\n"), 1u) << o.printed;
  // The link root, linux, linux/debian, linux/arch.
  EXPECT_NE(o.printed.find("summary: 0 to remove, 4 to create"), std::string::npos) << o.printed;
  EXPECT_TRUE(t.isFolder("links/linux/arch"));
}

// Two sources giving one virtual path are named: a conflict line in the dry run, once
// on standard error in the build, and counted.
TEST_F(PlanCase, TwoSourcesGivingOneVirtualPathAreNamedOnceAndCounted) {
  t.folder("iso/debian");
  t.folder("more-iso/debian");
  t.folder("more-iso/arch");
  Outcome o = both({t / "iso/|g", t / "more-iso/|g"});
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(count(o.printed, "conflict /merged/g/debian: " + t / "iso/debian" + " and " +
                                 t / "more-iso/debian\n"),
            1u)
      << o.printed;
  EXPECT_NE(o.printed.find("; conflicts: 1\n"), std::string::npos) << o.printed;
  size_t named = 0;
  for (const auto& w : platform.messages.warnings)
    named += w.find("\"/merged/g/debian\" is given by two merge sources") != std::string::npos;
  EXPECT_EQ(named, 1u);  // the build's, not the dry run's
  // A source listed twice before two others: still the first two folders, named once.
  t.folder("third-iso/debian");
  o = both({t / "iso/|g", t / "iso/|g", t / "more-iso/|g", t / "third-iso/|g"});
  EXPECT_EQ(count(o.printed, "conflict /merged/g/debian: " + t / "iso/debian" + " and " +
                                 t / "more-iso/debian\n"),
            1u)
      << o.printed;
  EXPECT_NE(o.printed.find("; conflicts: 1\n"), std::string::npos) << o.printed;
  // Nearest: one source listed twice is one folder, no conflict.
  platform.messages.warnings.clear();
  o = both({t / "iso/|g", t / "iso/|g"});
  EXPECT_NE(o.printed.find("; conflicts: 0\n"), std::string::npos) << o.printed;
  EXPECT_TRUE(platform.messages.warnings.empty());
}

// A same-table dry run with a missing genre folder prints both creations; files and
// links to remove are counted.
TEST_F(PlanCase, ASameTableDryRunWithAMissingGenrePrintsBothCreations) {
  t.folder("iso/debian");
  vfsOld = vfs;
  t.file("out/table.vfs", "");
  t.folder("links");
  Outcome o = both({t / "iso/|g"});
  EXPECT_TRUE(o.ok);
  EXPECT_NE(o.printed.find("create " + native(linkRoot + "/g") + "\ncreate " +
                           native(linkRoot + "/g/debian") + "\n"),
            std::string::npos)
      << o.printed;
}

TEST_F(PlanCase, FilesAndLinksToRemoveAreCounted) {
  t.folder("iso/debian");
  t.file("links/a");
  t.file("links/debian/b");
  if (kMakesLinks) t.link(t / "iso", "links/l");
  Outcome o = both({t / "iso/"});
  EXPECT_TRUE(o.ok);
  std::string removes = std::to_string(kMakesLinks ? 3 : 2);
  EXPECT_NE(o.printed.find("summary: " + removes + " to remove, 0 to create"), std::string::npos)
      << o.printed;
}

TEST_F(PlanCase, NonAsciiNamesPrintAsTheyAre) {
  t.folder("iso/Caf\xc3\xa9");
  Outcome o = both({t / "iso/"});
  EXPECT_NE(o.printed.find("create " + native(linkRoot + "/Caf\xc3\xa9") + "\n"), std::string::npos)
      << o.printed;
}

// An output table that is a folder, a pipe, or sits in a missing folder fails the dry
// run at the build's own step; a plain file there is the nearest case and builds.
TEST_F(PlanCase, AnOutputThatIsNoFileFailsTheDryRunAtTheBuildsStep) {
  t.folder("iso/debian");
  std::vector<std::string> outputs = {"out/folder.vfs", "missing/table.vfs"};
  t.folder("out/folder.vfs");
#ifdef _WIN32
  // Windows' check of the table (win/win_output.cpp) words a missing folder
  // otherwise than the build's own failure does: the same step, other words.
  sameWords = false;
#else
  ASSERT_EQ(::mkfifo((t / "out/pipe.vfs").c_str(), 0644), 0);
  outputs.push_back("out/pipe.vfs");
#endif
  for (const std::string& output : outputs) {
    SCOPED_TRACE(output);
    vfs = t / output;
    Outcome o = both({t / "iso/"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.action, "Writing new VFS file (" + vfs + ")");
    EXPECT_FALSE(t.has("links"));
  }
  vfs = t / "out/table.vfs";
  EXPECT_TRUE(both({t / "iso/"}).ok);
}

#ifndef _WIN32
// What the build will need of the system, its dry run asks: each case fails both alike, at
// the build's own step and in its words, before anything goes; beside each, the nearest case
// that builds.
TEST_F(PlanCase, WhatTheBuildWillNeedFailsItsDryRunAlikeBeforeAnythingGoes) {
  struct Need {
    const char* name;
    std::function<void(PlanCase&)> arrange;  // the failing world
    std::function<void(PlanCase&)> nearest;  // changed from it into one that builds
    const char* step;                        // the action both fail under ("" for the table's)
  };
  auto flagged = [](int flags) {
    return [flags](PlanCase& c) {
      c.t.file("out/table.vfs", "server's\r\n");
      c.flags = std::make_unique<FileFlags>(c.vfs, flags);
      if (!c.flags->set()) GTEST_SKIP() << "this file system keeps no inode flags";
    };
  };
  const Need needs[] = {
      {"link root in a missing folder", [](PlanCase& c) { c.linkRoot = c.t / "gone/links"; },
       [](PlanCase& c) { c.t.folder("gone"); },
       "Creating the physical merge path if it doesn't exist"},
      {"link root where a file is",
       [](PlanCase& c) {
         c.t.file("file", "x");
         c.linkRoot = c.t / "file";
       },
       [](PlanCase& c) { std::filesystem::remove(c.t / "file"); },
       "Creating the physical merge path if it doesn't exist"},
      // A second name makes the table be written in place, behind a journal in the state
      // folder, which a file stands in the way of.
      {"journal's state folder that cannot be made",
       [](PlanCase& c) {
         c.t.file("out/table.vfs", "server's\r\n");
         ASSERT_EQ(::link((c.t / "out/table.vfs").c_str(), (c.t / "out/second.vfs").c_str()), 0);
         c.t.file("blocker", "x");
         c.platform.stateFolder = c.t / "blocker/state";
       },
       [](PlanCase& c) { c.platform.stateFolder = c.t / "state"; }, ""},
      {"immutable table", flagged(FS_IMMUTABLE_FL), [](PlanCase& c) { c.flags.reset(); }, ""},
      {"append-only table", flagged(FS_APPEND_FL), [](PlanCase& c) { c.flags.reset(); }, ""},
  };
  t.folder("iso/debian");
  for (const Need& need : needs) {
    SCOPED_TRACE(need.name);
    t.folder("links/stale");
    need.arrange(*this);
    if (IsSkipped()) return;
    Outcome o = both({t / "iso/"});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.action, *need.step ? need.step : "Writing new VFS file (" + vfs + ")");
    if (linkRoot == t / "links") {
      EXPECT_TRUE(t.isFolder("links/stale"));
    }
    need.nearest(*this);
    o = both({t / "iso/"});
    EXPECT_TRUE(o.ok) << o.description;
    EXPECT_TRUE(t.isFolder(linkRoot.substr(t.path().size() + 1) + "/debian"));
    linkRoot = t / "links";
    vfs = t / "out/table.vfs";
  }
}

// On a read-only mount the dry run and the build fail for one reason in the same words.
TEST_F(PlanCase, AReadOnlyMountFailsTheDryRunAndTheBuildInTheSameWords) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounts need root";
  t.folder("iso/debian");
  t.folder("ro/links/stale");
  t.file("ro/table.vfs", "server's\r\n");
  linkRoot = t / "ro/links";
  for (bool tableThere : {true, false}) {
    SCOPED_TRACE(tableThere);
    vfs = t / (tableThere ? "ro/table.vfs" : "ro/new.vfs");
    load({t / "iso/"});
    TempFolder said;
    int status = inMountNamespace([&] {
      if (!mountReadOnly(t / "ro")) return 77;
      Outcome dry = runLoaded(true), built = runLoaded(false);
      writeBytes(said / "out", dry.action + "\n" + dry.description + "\n" + built.action + "\n" +
                                   built.description);
      return dry.ok || built.ok ? 1 : 0;
    });
    if (status == 77) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(status, 0);
    std::string out = readBytes(said / "out");
    size_t half = out.find('\n', out.find('\n') + 1);
    EXPECT_EQ(out.substr(0, half), out.substr(half + 1)) << out;
    EXPECT_NE(out.find(systemErrorText(EROFS)), std::string::npos) << out;
  }
  EXPECT_TRUE(t.isFolder("ro/links/stale"));
}
#endif

// The summary counts a line the new table holds twice, a dropped line held twice,
// and an unchanged line longer than the 64 KiB pieces the table is read in.
TEST_F(PlanCase, TheSummaryCountsRepeatedLinesAndLongOnes) {
  t.folder("iso/debian");
  std::string longLine(70 * 1024, 'l');
  t.file("out/table.vfs", longLine + "\r\ngone\r\ngone\r\n");
  t.file("old.vfs", longLine + "\r\ntwice\r\ntwice\r\n");
  Outcome o = both({t / "iso/"});
  ASSERT_TRUE(o.ok) << o.description;
  // Added: twice, twice, the root entry, debian's entry; dropped: gone, gone.
  EXPECT_NE(o.printed.find("table lines: 4 added, 2 dropped;"), std::string::npos) << o.printed;
}

// A failing dry run writes nothing, not even a report, and says so.
TEST_F(PlanCase, AFailingDryRunWritesNoReportAndPrintsItsTextOnStandardError) {
  t.folder("program");
  t.file("program/kelvaneerrors.txt", "the nightly build's report");
  platform.processes.programFolderOverride = t / "program";
  platform.stateFolder = t / "state";
  t.folder("iso/debian");
  t.file("links/stale/.hidden");
  load({t / "iso/"});
  EXPECT_EQ(runProgram(platform, "--dry-run ?" + (t / settingsFile)), 1);
  EXPECT_EQ(t.read("program/kelvaneerrors.txt"), "the nightly build's report");
  EXPECT_FALSE(t.has("state"));
  EXPECT_TRUE(platform.messages.shown.empty());
  // Where records are kept, the first line says the link root has none yet.
  size_t first = platform.files.keepsRecords() ? 1 : 0;
  ASSERT_EQ(platform.messages.warnings.size(), first + 1);
  const std::string& said = platform.messages.warnings[first];
  EXPECT_EQ(said.rfind("kelvane: the dry run failed; nothing was changed and no report was "
                       "written.",
                       0),
            0u)
      << said;
  EXPECT_NE(said.find("\nAction when error occured : Deleting old structure\n"), std::string::npos)
      << said;
  // The build itself writes its report.
  EXPECT_EQ(runProgram(platform, "?" + (t / settingsFile)), 1);
  EXPECT_NE(t.read("program/kelvaneerrors.txt").find("Deleting old structure"), std::string::npos);
}

// One escaping function for every message.
TEST(VisibleText, EscapesControlsC1BidiAndTheBackslashAndKeepsOtherText) {
  EXPECT_EQ(visibleText("a\nb\rc\td\x1b[2J\x07\x7f"), "a\\nb\\rc\\td\\x1b[2J\\x07\\x7f");
  EXPECT_EQ(visibleText("\x85\x9b"
                        "31m"),
            "\\x85\\x9b"
            "31m");                                              // raw C1 bytes
  EXPECT_EQ(visibleText("\xc2\x85\xc2\x9b"), "\\u0085\\u009b");  // C1 as UTF-8
  EXPECT_EQ(visibleText("a\xe2\x80\xae"
                        "b\xe2\x81\xa6"),
            "a\\u202eb\\u2066");                 // bidi
  EXPECT_EQ(visibleText("a\\x1b"), "a\\\\x1b");  // never alike with an escaped ESC
  EXPECT_EQ(visibleText("C:\\dir", true), "C:\\dir");
  EXPECT_EQ(visibleText("Caf\xc3\xa9 \xef\xbf\xbd \xf0\x9f\x98\x80"),
            "Caf\xc3\xa9 \xef\xbf\xbd \xf0\x9f\x98\x80");  // a real U+FFFD stays
  // What prints as nothing, or as a space, would make two names look alike.
  EXPECT_EQ(visibleText("lin\xe2\x80\x8bux \xc2\xa0\xc2\xad\xef\xbb\xbf\xe2\x81\xa0"),
            "lin\\u200bux \\u00a0\\u00ad\\ufeff\\u2060");
  EXPECT_EQ(visibleText("a\xf3\xa0\x80\x81"
                        "1\xef\xbf\xbf"),
            "a\\U000e00011\\uffff");  // a tag, then a digit: never read as \ue0001
  EXPECT_EQ(visibleText("\xe2\x80\xa8\xe3\x80\x80\xe2\x80\x8a\xe2\x80\x8e"),
            "\\u2028\\u3000\\u200a\\u200e");
  // Bytes that are no UTF-8 never print as the text a terminal would make of them.
  EXPECT_EQ(visibleText("Caf\xe9 \xa0\xff"), "Caf\\xe9 \\xa0\\xff");
  EXPECT_EQ(visibleText("\xc2"), "\\xc2");  // cut short
  EXPECT_EQ(visibleText("\xe2\x80"), "\\xe2\\x80");
  EXPECT_EQ(visibleText("\xed\xa0\x80\xc0\xaf"),
            "\\xed\\xa0\\x80\\xc0\\xaf");                                     // surrogate, overlong
  EXPECT_EQ(visibleText("\xe2\x80\x8a\xe2\x80\x90"), "\\u200a\xe2\x80\x90");  // a hyphen prints
}

TEST(VisibleText, TheReportKeepsNoTerminalControlFromAName) {
  AppState state;
  state.settings.WhereCreate = "/links/\x1b]0;owned\x07\x1b[2J/";
  std::string report = formatErrorReport(
      Failure(2, "Cannot remove folder \"/links/\x1b]0;t\x07\xc2\x9b\"", "rm\x1b"), state, "/p");
  EXPECT_EQ(report.find('\x1b'), std::string::npos) << report;
  EXPECT_EQ(report.find('\x07'), std::string::npos) << report;
  EXPECT_EQ(report.find("\xc2\x9b"), std::string::npos) << report;
  EXPECT_NE(report.find("Creating structure in     : /links/\\x1b]0;owned\\x07\\x1b[2J/\r\n"),
            std::string::npos)
      << report;
}

// The Windows listing returns a plain ".foo" (not hidden by its attributes): the walk marks
// its folder as holding what it leaves out, so a stale folder holding one fails both ways.
class DottedNameTree : public FolderTree {
 public:
  std::vector<FileIdentity> chain() override { return {}; }
  std::vector<std::string> mountsBelow() override { return {}; }
  std::vector<DirEntry> list(bool& holdsUnlisted) override {
    holdsUnlisted = false;
    if (depth == 0) return {{".", EntryType::Folder, {}}, {"stale", EntryType::Folder, {}}};
    return {
        {".", EntryType::Folder, {}}, {"..", EntryType::Folder, {}}, {".foo", EntryType::File, {}}};
  }
  void enter(const std::string&) override { ++depth; }
  void leave() override { --depth; }
  void deleteFile(const std::string& name) override { done.push_back("delete " + name); }
  void checkRemoval(const std::string&) override {}
  void removeFolder(const std::string& name) override { done.push_back("rmdir " + name); }
  bool reuseFolder(const std::string&, const std::string&, bool) override { return false; }
  bool canReuseFolder(const std::string&, const std::string&, bool) override { return false; }
  bool isOwnFolder(const std::string&) override { return true; }
  bool holdsFolder(const std::string&) override { return false; }
  bool makeFolder(const std::string&) override { return true; }
  std::string currentPath() override { return depth ? "/l/stale/" : "/l/"; }
  int depth = 0;
  std::vector<std::string> done;
};

TEST(DottedNames, AStaleFolderHoldingAListedDotNameFailsAndIsNotRemoved) {
  DirTable none;
  Layout nothing(none, "/");
  TestPlatform platform;
  DottedNameTree tree;
  Plan plan(platform, nullptr);
  EXPECT_THROW(reconcileLinkRoot(tree, nothing, plan), Failure);
  EXPECT_TRUE(tree.done.empty());
}

// A stale folder whose rename, made behind the walk, found its new name taken: the tree
// removed it instead and hands the name back, and the walk leaves that mirror folder missing,
// to be made with the others.
class TakenNameTree : public DottedNameTree {
 public:
  std::vector<DirEntry> list(bool& holdsUnlisted) override {
    holdsUnlisted = false;
    if (depth == 2) return {};
    return {{depth ? "stale" : "g", EntryType::Folder, {}}};
  }
  bool reuseFolder(const std::string& from, const std::string& to, bool) override {
    done.push_back("rename " + from + " " + to);
    return true;
  }
  void finishChanges(std::vector<FolderNotRenamed>& notRenamed) override {
    notRenamed.push_back({{"g"}, "debian"});
  }
  std::string currentPath() override { return depth ? "/l/g/" : "/l/"; }
};

TEST(DottedNames, AMirrorFolderNotMadeByARenameAfterAllIsMadeWithTheOthers) {
  DirTable table;
  table.beginCall("/src/", "g", '/');
  table.add("debian");
  Layout layout(table, "/");
  TestPlatform platform;
  TakenNameTree tree;
  Plan plan(platform, nullptr);
  reconcileLinkRoot(tree, layout, plan);
  EXPECT_EQ(tree.done, std::vector<std::string>{"rename stale debian"});
  EXPECT_FALSE(layout.findNode("g")->mirrorIsPresent(0));
}

}  // namespace
}  // namespace kelvane::testing
