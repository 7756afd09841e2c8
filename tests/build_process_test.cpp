// The executable run as a user runs a build: a copy in its own program folder, no display,
// no standard input, "?settings.dat" found in the program folder.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/process.h"
#include "tests/support/scratch_tree.h"

namespace kelvane {
namespace {

using testing::ProcessResult;
using testing::ScratchTree;
using testing::settingsText;
using testing::vfsLine;
using Names = std::vector<std::string>;

class BuildProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    exe = testing::installKelvaneCopy(t / "prog");
    t.folder("work");
    t.folder("out");
    t.file("old.vfs", "old|line\r\n");
    t.file("out/table.vfs", "before\r\n");
    t.folder("iso/debian");
  }

  void settings(std::initializer_list<std::string> mergeLines) {
    t.file("prog/settings.dat",
           settingsText({linkRoot, vfs, vfsOld, "/merged", "anon", "users", "755"}, mergeLines));
  }

  // Runs the copy in the work folder.
  ProcessResult run() { return testing::runProcess(exe, {"?settings.dat"}, t / "work"); }

  // Line n (1-based) of the error report.
  std::string reportLine(size_t n) {
    std::string report = t.read("prog/kelvaneerrors.txt");
    size_t at = 0;
    for (size_t i = 1; i < n && at != std::string::npos; ++i) {
      at = report.find("\r\n", at);
      if (at != std::string::npos) at += 2;
    }
    if (at == std::string::npos) return "<no line " + std::to_string(n) + ">";
    return report.substr(at, report.find("\r\n", at) - at);
  }

  void expectFailure(const std::string& action, const std::string& fix) {
    ProcessResult result = run();
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_EQ(reportLine(16), "Action when error occured : " + action);
    EXPECT_EQ(reportLine(19), "Recommended FIX : " + fix);
    EXPECT_EQ(reportLine(15), "Creating structure in     : " + linkRoot + "/");
    EXPECT_EQ(t.read("out/table.vfs"), "before\r\n");
    EXPECT_EQ(t.tree("out"), Names{"table.vfs"});
  }

  ScratchTree t;
  std::string exe;
  std::string linkRoot = t / "links";
  std::string vfsOld = t / "old.vfs";
  std::string vfs = t / "out/table.vfs";
};

TEST_F(BuildProcess, BuildsTheTableAndFoldersAndExitsZero) {
  t.file("links/stale/file");
  settings({t / "iso/|linux", ""});
  ProcessResult result = run();
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(t.read("out/table.vfs"), "old|line\r\n" + vfsLine(t / "links", "/merged") +
                                         vfsLine(t / "iso/debian", "/merged/linux/debian"));
  EXPECT_EQ(t.tree("links"), (Names{"linux/", "linux/debian/"}));
  EXPECT_FALSE(t.has("prog/kelvaneerrors.txt"));
  EXPECT_EQ(result.out, "");
  // The link root was there before any record of a build of it.
  EXPECT_EQ(result.err, "kelvane: the last build's record of \"" + t / "links/" +
                            "\" is not used (there is none yet): every folder is looked at in "
                            "full\n");
}

TEST_F(BuildProcess, ADryRunPrintsWhatABuildWouldChangeAndChangesNothing) {
  t.folder("links/stale");
  settings({t / "iso/"});
  auto before = t.tree("");
  ProcessResult result = testing::runProcess(exe, {"--dry-run", "?settings.dat"}, t / "work");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "remove " + linkRoot + "/stale\ncreate " + linkRoot +
                            "/debian\nsummary: 1 to remove, 1 to create; table lines: 3 added, 1 "
                            "dropped; conflicts: 0\n");
  EXPECT_EQ(t.tree(""), before);
  // A failing dry run fails as a build would; one without a build request is refused.
  settings({t / "iso/|a/../../b"});
  EXPECT_EQ(testing::runProcess(exe, {"--dry-run", "?settings.dat"}, t / "work").status, 1);
  EXPECT_EQ(testing::runProcess(exe, {"--dry-run", "settings.dat"}, t / "work").status, 2);
}

TEST_F(BuildProcess, RefusedLinkRootFailsBeforeDeleting) {
  linkRoot = t.path();
  settings({t / "iso/|linux"});
  expectFailure("Checking the folder to create structure in",
                "Change in the dat what the error description names; the folder to create "
                "structure in must be a folder of its own that this account can read");
  EXPECT_TRUE(t.isFolder("iso/debian"));
}

TEST_F(BuildProcess, UndeletableFileFailsTheRemoval) {
  t.file("links/stale/locked");
  ::chmod((t / "links/stale/locked").c_str(), 0444);
  settings({t / "iso/"});
  expectFailure("Deleting old structure", "Manual deletion of structure");
  EXPECT_TRUE(t.has("links/stale/locked"));
}

TEST_F(BuildProcess, UnlistableSourceFailsTheMapping) {
  t.link("loop", "loop");  // listing it can never succeed, whoever runs the test
  settings({t / "loop/"});
  expectFailure("Mapping out directory structure",
                "Make sure every merge folder in the dat exists and this account can read it");
}

TEST_F(BuildProcess, MissingInputTableFailsItsReading) {
  vfsOld = t / "missing.vfs";
  settings({t / "iso/"});
  expectFailure("Reading old VFS file (" + vfsOld + ")", "Make sure this file exists!");
}

TEST_F(BuildProcess, MissingOutputFolderFailsTheWriting) {
  vfs = t / "nowhere/table.vfs";
  settings({t / "iso/"});
  expectFailure("Writing new VFS file (" + vfs + ")",
                "Make sure the path is properly written in dat");
}

TEST_F(BuildProcess, LinkRootWithoutParentFailsItsCreation) {
  linkRoot = t / "no/parent";
  settings({t / "iso/"});
  expectFailure("Creating the physical merge path if it doesn't exist",
                "Make sure the path is possible to create on your HD (drive must exist)");
}

TEST_F(BuildProcess, TwoLevelGenreFailsTheSubstructure) {
  settings({t / "iso/|os/linux"});
  expectFailure("Creating substructure (if exists)",
                "Make sure you entered the lines in proper format in the dat");
}

}  // namespace
}  // namespace kelvane
