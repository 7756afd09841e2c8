#include "engine/build_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <functional>

#include "engine/link_root_check.h"
#include "startup/form_load.h"
#include "tests/support/build_run_fixture.h"
#include "tests/support/failure_of.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::BuildRun;
using testing::Op;
using testing::opName;
using testing::ScratchTree;
using testing::settingsText;
using testing::testName;
using testing::TestPlatform;
using testing::vfsLine;
using Names = std::vector<std::string>;

TEST_F(BuildRun, WorkedExampleGivesTheTableAndFolders) {
  t.folder("iso/debian");
  t.folder("iso/gentoo");
  t.file("iso/notes.txt");
  build({t / "iso/|linux", ""});  // the usual empty last merge line takes no part

  std::string expected = "old|line\r\n" + vfsLine(t / "links", "/merged");
  for (const auto& name : listed(t / "iso/"))
    expected += vfsLine(t / "iso/" + name, "/merged/linux/" + name);
  EXPECT_EQ(t.read("out/table.vfs"), expected);
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/", "linux/gentoo/"}));
  EXPECT_EQ(state.settings.WhereCreate, t / "links/");
  EXPECT_EQ(t.tree("out"), Names{"table.vfs"});
  EXPECT_TRUE(platform.messages.shown.empty());
}

TEST_F(BuildRun, LinkRootWithOrWithoutSlashBuildsTheSame) {
  t.folder("iso/debian");
  build({t / "iso/|linux"});
  std::string without = t.read("out/table.vfs");
  linkRoot += testing::kSeparator;
  build({t / "iso/|linux"});
  EXPECT_EQ(t.read("out/table.vfs"), without);
  EXPECT_EQ(state.settings.WhereCreate, t / "links/");
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/"}));
}

TEST_F(BuildRun, SourcesWithOneGenreShareItsFolderAndSameNamesShareAMirror) {
  t.folder("a/same");
  t.folder("b/same");
  t.folder("c/plain");
  build({t / "a/|g", t / "b/|g", t / "c/"});
  EXPECT_EQ(t.read("out/table.vfs"), "old|line\r\n" + vfsLine(t / "links", "/merged") +
                                         vfsLine(t / "a/same", "/merged/g/same") +
                                         vfsLine(t / "b/same", "/merged/g/same") +
                                         vfsLine(t / "c/plain", "/merged/plain"));
  EXPECT_EQ(t.tree("links"), (Names{"g/", "g/same/", "plain/"}));
}

TEST_F(BuildRun, NothingToMergeStillWritesTheRootEntryAndMakesTheLinkRoot) {
  t.file("files/only");
  t.folder("iso/debian");
  // Files only, a source without "/" (lists "iso" itself; no "isoiso"), a missing source.
  build({t / "files/", t / "iso|linux", t / "missing/|x"});
  EXPECT_EQ(t.read("out/table.vfs"), "old|line\r\n" + vfsLine(t / "links", "/merged"));
  EXPECT_TRUE(t.isFolder("links"));
  EXPECT_EQ(t.tree("links"), Names{});
}

TEST_F(BuildRun, SameInputAndOutputAppendsEachRunAndKeepsTheLinkRoot) {
  t.folder("iso/debian");
  t.file("links/keep");
  vfsOld = vfs;
  t.file("out/table.vfs", "old|line\r\n");
  build({t / "iso/"});
  build({t / "iso/"});
  EXPECT_EQ(platform.files.inputsOpenAtCommit, 0);
  std::string entry = vfsLine(t / "iso/debian", "/merged/debian");
  EXPECT_EQ(t.read("out/table.vfs"), "old|line\r\n" + entry + entry);
  EXPECT_EQ(t.tree("links"), (Names{"debian/", "keep"}));
}

TEST_F(BuildRun, DifferentTablesRemoveTheOldMirrorFirst) {
  t.folder("iso/debian");
  t.folder("links/gone/deeper");
  t.file("links/gone/deeper/file");
  t.folder("links/debian/stale");
  build({t / "iso/"});
  EXPECT_EQ(t.tree("links"), Names{"debian/"});
}

TEST_F(BuildRun, VirtualRootEndingInSlashDoublesIt) {
  virtualRoot = "/merged/";
  t.folder("iso/debian");
  build({t / "iso/|linux"});
  EXPECT_EQ(t.read("out/table.vfs"), "old|line\r\n" + vfsLine(t / "links", "/merged/") +
                                         vfsLine(t / "iso/debian", "/merged//linux/debian"));
}

TEST_F(BuildRun, TwoLevelGenreNeedsItsFirstLevel) {
  t.folder("iso/debian");
  t.file("out/table.vfs", "before\r\n");
  EXPECT_EQ(testing::failureOf([&] { build({t / "iso/|os/linux"}); }).action(),
            "Creating substructure (if exists)");
  EXPECT_EQ(t.read("out/table.vfs"), "before\r\n");

  vfsOld = vfs;  // keeps the first level from being removed
  t.folder("links/os");
  build({t / "iso/|os/linux"});
  EXPECT_TRUE(t.isFolder("links/os/linux/debian"));
}

// The listing never shows a hidden name, so a genre folder named so could never be kept to
// the layout (its stale mirror folders would stay for good): refused before anything, with
// its own message, as a genre holding "|" is. "." alone names no level and is no such part.
TEST_F(BuildRun, AGenreWithAPartStartingWithADotIsRefusedWithItsOwnMessage) {
  t.folder("iso/debian");
  t.folder("links/.g/beta");
  for (const char* genre : {".g", "a/.g", "./.g//", "...", ".g/a"}) {
    SCOPED_TRACE(genre);
    t.file("out/table.vfs", "before\r\n");
    try {
      build({t / "iso/|" + std::string(genre)});
      ADD_FAILURE() << "built";
    } catch (const Failure& failure) {
      EXPECT_NE(failure.description().find("has a part starting with \".\""), std::string::npos)
          << failure.description();
      EXPECT_EQ(failure.number(), kErrRefused);
    }
    EXPECT_EQ(t.read("out/table.vfs"), "before\r\n");
    EXPECT_TRUE(t.isFolder("links/.g/beta"));
  }
  // The nearest genres that are no hidden names build.
  // (Windows drops a name's trailing dots: "g." is its folder "g" there.)
  std::vector<std::string> genres = {"./g//", "g.h", testing::kSeparator == '/' ? "g." : "g"};
  for (const std::string& genre : genres) {
    SCOPED_TRACE(genre);
    build({t / "iso/|" + genre});
    EXPECT_TRUE(t.isFolder("links/" + (genre == "./g//" ? std::string("g") : genre) + "/debian"));
    EXPECT_TRUE(t.isFolder("links/.g/beta"));  // hidden: never listed, never touched
  }
}

TEST_F(BuildRun, AFileWhereAFolderGoesFailsThatVeryStep) {
  t.folder("iso/debian");
  vfsOld = vfs;  // no removal, so the files stay where the folders go
  struct Case {
    const char* file;
    const char* genre;
    const char* action;
  } cases[] = {
      {"links", "", "Creating the physical merge path if it doesn't exist"},
      {"links/plain", "plain", "Creating substructure (if exists)"},
      {"links/g/debian", "g", "Creating merged structure"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::filesystem::remove_all(t / "links");
    t.file(c.file, "not a folder");
    t.file("out/table.vfs", "before\r\n");
    EXPECT_EQ(testing::failureOf([&] { build({t / "iso/|" + std::string(c.genre)}); }).action(),
              c.action);
    EXPECT_EQ(t.read("out/table.vfs"), "before\r\n");
  }
}

TEST_F(BuildRun, NamesTheTableCannotHoldGetNoFolderOrEntry) {
  for (auto name : {"a|b", "c\rd", "e\nf", "ok"}) t.folder("iso/" + std::string(name));
  build({t / "iso/"});
  EXPECT_EQ(t.read("out/table.vfs"),
            "old|line\r\n" + vfsLine(t / "links", "/merged") + vfsLine(t / "iso/ok", "/merged/ok"));
  EXPECT_EQ(t.tree("links"), Names{"ok/"});
}

// --- A failure in any phase leaves the table as it was -------------------------------------

struct Fault {
  Op op;
  int nth;
  const char* action;  // "%" stands for the output table's path, "#" for the input's
  bool linkRootMissing = false;
};

void PrintTo(const Fault& fault, std::ostream* out) {
  *out << opName(fault.op) << " #" << fault.nth << (fault.linkRootMissing ? ", no link root" : "");
}

class BuildFault : public BuildRun, public ::testing::WithParamInterface<Fault> {};

TEST_P(BuildFault, LeavesTheTableByteIdenticalAndNoTemporaryFile) {
  const Fault& fault = GetParam();
  t.file("old.vfs", "old one\r\nold two\r\n");
  t.file("out/table.vfs", "before\r\n");
  t.folder("iso/debian");
  t.folder("iso/gentoo");
  if (!fault.linkRootMissing) t.file("links/stale/file");
  load({t / "iso/|linux"});
  platform.faults.failOn(fault.op, fault.nth);
  Failure failure = testing::failureOf([&] { runBuild(platform, state); });

  std::string action = fault.action;
  if (auto at = action.find('%'); at != std::string::npos) action.replace(at, 1, vfs);
  if (auto at = action.find('#'); at != std::string::npos) action.replace(at, 1, vfsOld);
  EXPECT_EQ(failure.action(), action);
  EXPECT_NE(failure.fix(), "");
  EXPECT_EQ(t.read("out/table.vfs"), "before\r\n");
  EXPECT_EQ(t.tree("out"), Names{"table.vfs"});
  // A build that cannot open its tables has deleted nothing.
  if (fault.op == Op::Open) {
    EXPECT_TRUE(t.has("links/stale/file"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachPhase, BuildFault,
    ::testing::Values(
        Fault{Op::Lock, 1, "Waiting for other builds of the link root and the output VFS file"},
        Fault{Op::OpenFolder, 1, "Checking the folder to create structure in"},
        Fault{Op::Identity, 1, "Checking the folder to create structure in"},
        Fault{Op::Open, 1, "Reading old VFS file (#)"},
        Fault{Op::Open, 2, "Writing new VFS file (%)"},
        Fault{Op::OpenFolder, 2, "Deleting old structure"},
        Fault{Op::Delete, 1, "Deleting old structure"},
        Fault{Op::Leave, 1, "Deleting old structure"},
        Fault{Op::RemoveFolder, 1, "Deleting old structure"},
        Fault{Op::List, 1, "Mapping out directory structure"},
        Fault{Op::List, 2, "Deleting old structure"},  // after the mapping's one
        Fault{Op::Read, 1, "Reading old VFS file (#)"},
        Fault{Op::Write, 3, "Writing path to merge folder in new VFS file (%)"},
        Fault{Op::CreateFolder, 1, "Creating the physical merge path if it doesn't exist", true},
        Fault{Op::CreateFolder, 1, "Creating substructure (if exists)"},
        Fault{Op::CreateFolder, 2, "Creating merged structure"},
        Fault{Op::Write, 4, "Adding merged path entry to the new VFS file (%)"},
        Fault{Op::Rename, 1, "Writing new VFS file (%)"}),
    [](const auto& info) {
      const Fault& fault = info.param;
      return testName(std::string(opName(fault.op)) + " " + std::to_string(fault.nth) +
                      (fault.linkRootMissing ? " no link root" : ""));
    });

}  // namespace
}  // namespace kelvane
