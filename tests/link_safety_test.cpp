// The removal empties the link root and nothing else: links below it are deleted as links,
// never followed, even when a folder is swapped for a link while the removal runs; and two
// builds of the same settings started together end as one build would.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "startup/run_program.h"
#include "tests/support/build_tree.h"
#include "tests/support/fake_platform.h"
#include "tests/support/process.h"

namespace kelvane::testing {
namespace {

// Moves folder to movedTo and puts a link to target in its place, as an attacker would
// while the build runs.
void swapForLink(const std::string& folder, const std::string& target, const std::string& movedTo) {
  ASSERT_EQ(std::rename(folder.c_str(), movedTo.c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), folder.c_str()), 0);
}

TEST(LinkSafety, LinksBelowTheLinkRootAreDeletedNotFollowed) {
  BuildTree tree;
  ::symlink(tree.outside.c_str(), (tree.linkRoot + "/to-outside").c_str());
  ::symlink((tree.outside + "/keep/file.txt").c_str(),
            (tree.linkRoot + "/linux/file-link").c_str());
  auto outsideBefore = BuildTree::snapshot(tree.outside);
  FakePlatform platform;
  platform.programFolderOverride = tree.dir / "program";
  ASSERT_EQ(runProgram(platform, "?" + tree.settingsPath()), 0);
  EXPECT_FALSE(pathExists(tree.linkRoot + "/to-outside"));
  EXPECT_FALSE(pathExists(tree.linkRoot + "/linux/file-link"));
  EXPECT_EQ(BuildTree::snapshot(tree.outside), outsideBefore);
}

TEST(LinkSafety, AFolderSwappedForALinkDuringTheRemovalIsNotEntered) {
  BuildTree tree;
  auto outsideBefore = BuildTree::snapshot(tree.outside);
  std::string swapped = tree.linkRoot + "/linux/debian";
  FakePlatform platform;
  platform.programFolderOverride = tree.dir / "program";
  bool done = false;
  // Once the walk has recorded linux/debian, replace it by a link to the outside folder
  // before its own contents are listed and deleted.
  platform.beforeOperation = [&](Op op, const std::string& path) {
    if (done || op != Op::List || path != swapped + "/") return;
    done = true;
    swapForLink(swapped, tree.outside + "/keep", tree.dir / "moved-away");
  };
  // The link cannot be opened as a folder below the link root: the build stops in the report.
  EXPECT_EQ(runProgram(platform, "?" + tree.settingsPath()), 1);
  EXPECT_TRUE(done);
  EXPECT_EQ(BuildTree::snapshot(tree.outside), outsideBefore);
  EXPECT_EQ(tree.outputBytes(), tree.originalOutput);
}

TEST(LinkSafety, AFileDeletedAfterItsFolderWasSwappedIsNotLookedForThroughTheLink) {
  BuildTree tree;
  writeBytes(tree.outside + "/keep/notes.txt", "outside twin of a mirror file");
  auto outsideBefore = BuildTree::snapshot(tree.outside);
  std::string folder = tree.linkRoot + "/linux/debian";
  FakePlatform platform;
  platform.programFolderOverride = tree.dir / "program";
  bool done = false;
  platform.beforeOperation = [&](Op op, const std::string& path) {
    if (done || op != Op::Delete || path != folder + "/notes.txt") return;
    done = true;
    swapForLink(folder, tree.outside + "/keep", tree.dir / "moved-away");
  };
  // The file goes from the folder that was listed; the link in its place is not removed as
  // a folder, so the build stops in the report.
  EXPECT_EQ(runProgram(platform, "?" + tree.settingsPath()), 1);
  EXPECT_TRUE(done);
  EXPECT_EQ(BuildTree::snapshot(tree.outside), outsideBefore);
  EXPECT_EQ(tree.outputBytes(), tree.originalOutput);
  EXPECT_FALSE(pathExists(tree.dir / "moved-away/notes.txt"));
}

TEST(LinkSafety, TwoBuildsOfTheSameSettingsAtOnceEndAsOneBuild) {
  BuildTree tree;
  // Enough folders that the two removals and mirrors would overlap without the lock.
  for (int i = 0; i < 600; ++i) makeFolders(tree.dir / ("src/mp3/m" + std::to_string(i)));
  std::string exe = installKelvaneCopy(tree.dir / "program");
  pid_t children[2];
  for (pid_t& child : children) {
    child = ::fork();
    if (child == 0) {
      ProcessResult result = runProcess(exe, {"?" + tree.settingsPath()}, tree.dir.path());
      ::_exit(result.status);
    }
  }
  for (pid_t child : children) {
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << readBytes(tree.dir / "program/kelvaneerrors.txt");
  }
  std::string table = tree.outputBytes();
  // One copy of the old table, one root entry, and each mirror entry once.
  EXPECT_EQ(table.find("/srv/old|"), 0u);
  EXPECT_EQ(table.find("/srv/old|", 1), std::string::npos);
  EXPECT_EQ(table.find("/merged/music/m599|"), table.rfind("/merged/music/m599|"));
  EXPECT_TRUE(isFolder(tree.linkRoot + "/music/m599"));
  EXPECT_TRUE(isFolder(tree.linkRoot + "/linux/gentoo"));
  EXPECT_FALSE(pathExists(tree.linkRoot + "/top.txt"));
}

}  // namespace
}  // namespace kelvane::testing
