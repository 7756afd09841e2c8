// The removal empties the link root and nothing else: links below it are deleted as links,
// never followed, even when a folder is swapped for a link while the removal runs; and two
// builds of the same settings started together end as one build would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "base/failure.h"
#include "engine/build_lock.h"
#include "engine/link_removal.h"
#include "startup/run_program.h"
#include "tests/support/build_tree.h"
#include "tests/support/process.h"
#include "tests/support/system_setup.h"
#include "tests/support/test_platform.h"

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
  TestPlatform platform;
  platform.processes.programFolderOverride = tree.dir / "program";
  ASSERT_EQ(runProgram(platform, "?" + tree.settingsPath()), 0);
  EXPECT_FALSE(pathExists(tree.linkRoot + "/to-outside"));
  EXPECT_FALSE(pathExists(tree.linkRoot + "/linux/file-link"));
  EXPECT_EQ(BuildTree::snapshot(tree.outside), outsideBefore);
}

TEST(LinkSafety, AFolderSwappedForALinkDuringTheRemovalIsNotEntered) {
  BuildTree tree;
  auto outsideBefore = BuildTree::snapshot(tree.outside);
  std::string swapped = tree.linkRoot + "/linux/debian/extra";
  TestPlatform platform;
  platform.processes.programFolderOverride = tree.dir / "program";
  bool done = false;
  // Once the walk has entered the stale folder linux/debian/extra, replace it by a link to
  // the outside folder before its own contents are listed and deleted.
  platform.faults.beforeOperation = [&](Op op, const std::string& path) {
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
  writeBytes(tree.outside + "/keep/deep.txt", "outside twin of a mirror file");
  auto outsideBefore = BuildTree::snapshot(tree.outside);
  std::string folder = tree.linkRoot + "/linux/debian/extra";
  TestPlatform platform;
  platform.processes.programFolderOverride = tree.dir / "program";
  bool done = false;
  platform.faults.beforeOperation = [&](Op op, const std::string& path) {
    if (done || op != Op::Delete || path != folder + "/deep.txt") return;
    done = true;
    swapForLink(folder, tree.outside + "/keep", tree.dir / "moved-away");
  };
  // The file goes from the folder that was listed; the link in its place is not removed as
  // a folder, so the build stops in the report.
  EXPECT_EQ(runProgram(platform, "?" + tree.settingsPath()), 1);
  EXPECT_TRUE(done);
  EXPECT_EQ(BuildTree::snapshot(tree.outside), outsideBefore);
  EXPECT_EQ(tree.outputBytes(), tree.originalOutput);
  EXPECT_FALSE(pathExists(tree.dir / "moved-away/deep.txt"));
}

TEST(LinkSafety, TwoBuildsSharingALinkRootAndTableEndAsOneBuildWhateverTheirSettingsFiles) {
  BuildTree tree;
  // A second settings file, as a copy re-saved under another name would be.
  std::string otherSettings = tree.dir / "other.dat";
  writeBytes(otherSettings, readBytes(tree.settingsPath()));
  // Enough folders that the two removals and mirrors would overlap without the lock.
  for (int i = 0; i < 600; ++i) makeFolders(tree.dir / ("src/mp3/m" + std::to_string(i)));
  std::string exe = installKelvaneCopy(tree.dir / "program");
  pid_t children[2];
  for (pid_t& child : children) {
    std::string settings = &child == children ? tree.settingsPath() : otherSettings;
    child = ::fork();
    if (child == 0) {
      ProcessResult result = runProcess(exe, {"?" + settings}, tree.dir.path());
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

// Builds take turns however they spell what they share: each spelling of one link root or
// table opens the same locks, and a table with a second name in its folder is one table.
TEST(LinkSafety, EverySpellingOfALinkRootOrATableOpensTheSameLocks) {
  BuildTree tree;
  makeFolders(tree.linkRoot);
  ASSERT_EQ(::symlink(tree.linkRoot.c_str(), (tree.dir / "alias").c_str()), 0);
  SystemPlatform platform;
  auto locks = [&](const std::string& path, Guarded what) {
    std::vector<FileIdentity> ids;
    for (auto& lock : platform.files.openLocks(path, what, false)) ids.push_back(lock->identity());
    std::sort(ids.begin(), ids.end());
    return ids;
  };
  auto root = locks(tree.linkRoot, Guarded::LinkRoot);
  ASSERT_FALSE(root.empty());
  for (std::string spelling : {tree.linkRoot + "/", tree.linkRoot + "/.", tree.dir / "alias"})
    EXPECT_EQ(locks(spelling, Guarded::LinkRoot), root) << spelling;
  auto table = locks(tree.output, Guarded::Table);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(locks(tree.dir / "out/./vfs.txt", Guarded::Table), table);
  EXPECT_NE(locks(tree.dir / "out/other.txt", Guarded::Table), table) << "another table";
  ASSERT_EQ(::link(tree.output.c_str(), (tree.dir / "out/second.txt").c_str()), 0);
  auto named = locks(tree.output, Guarded::Table);
  EXPECT_EQ(locks(tree.dir / "out/second.txt", Guarded::Table), named);
}

// A build that finds the lock held names the holder once and waits, up to its bound: within
// it, it goes on when the holder ends; past it, it fails naming the holder.
TEST(LinkSafety, ABuildThatWaitsForAnotherNamesItOnceAndWaitsNoLongerThanItsBound) {
  BuildTree tree;
  for (double wait : {600.0, 0.0}) {
    std::string err = tree.dir / "stderr.txt";
    // The child is made before the lock is taken, so that it holds no copy of it.
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    pid_t child = ::fork();
    if (child == 0) {
      char byte;
      if (::read(go[0], &byte, 1) != 1) ::_exit(2);
      std::freopen(err.c_str(), "w", stderr);
      SystemPlatform platform;
      try {
        auto locks = takeTurns(
            platform, {{tree.output, Guarded::Table}, {tree.linkRoot + "/", Guarded::LinkRoot}},
            false, wait);
      } catch (const Failure& failure) {
        std::fprintf(stderr, "failed %d: %s\n", failure.number(), failure.description().c_str());
        ::_exit(failure.fix().empty() ? 4 : 3);
      }
      ::_exit(0);
    }
    TestPlatform platform;
    auto held = takeTurns(platform, {{tree.linkRoot, Guarded::LinkRoot}}, false, 0);
    ASSERT_EQ(held.size(), 1u);
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    EXPECT_TRUE(waitForText(err, "waiting", 60000));
    if (wait > 0) held.clear();
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), wait > 0 ? 0 : 3) << wait;
    std::string said = readBytes(err);
    EXPECT_EQ(said.find("waiting"), said.rfind("waiting")) << said;
    EXPECT_NE(said.find("process " + std::to_string(::getpid())), std::string::npos) << said;
    EXPECT_EQ(said.find("failed 70: "), wait > 0 ? std::string::npos : said.find("failed"));
    ::close(go[0]);
    ::close(go[1]);
  }
}

TEST(LinkSafety, NothingMountedBelowTheLinkRootIsEverEmptied) {
  if (::geteuid() != 0) GTEST_SKIP() << "bind mounts need root";
  BuildTree tree;
  makeFolders(tree.linkRoot + "/music/jazz/mounted");
  auto outsideBefore = BuildTree::snapshot(tree.outside);
  std::string report = tree.dir / "program/kelvaneerrors.txt";
  makeFolders(tree.dir / "program");
  // Mounted before the build: refused before anything is deleted, naming the mount point.
  int status = inMountNamespace([&] {
    if (!bindMount(tree.outside, tree.linkRoot + "/music/jazz/mounted")) return 77;
    TestPlatform platform;
    platform.processes.programFolderOverride = tree.dir / "program";
    return runProgram(platform, "?" + tree.settingsPath());
  });
  if (status == 77) GTEST_SKIP() << "no bind mounts here";
  EXPECT_EQ(status, 1);
  EXPECT_NE(readBytes(report).find("music/jazz/mounted\" is mounted below"), std::string::npos)
      << readBytes(report);
  EXPECT_TRUE(pathExists(tree.linkRoot + "/top.txt"));

  // Mounted while the build runs: the walk does not enter it.
  status = inMountNamespace([&] {
    TestPlatform platform;
    platform.processes.programFolderOverride = tree.dir / "program";
    platform.faults.beforeOperation = [&](Op op, const std::string& path) {
      if (op == Op::OpenFolder && path == tree.linkRoot + "/music/")
        bindMount(tree.outside, tree.linkRoot + "/music/jazz/mounted");
    };
    return runProgram(platform, "?" + tree.settingsPath());
  });
  EXPECT_EQ(status, 1);
  EXPECT_NE(readBytes(report).find("Action when error occured : Deleting old structure"),
            std::string::npos)
      << readBytes(report);
  EXPECT_EQ(BuildTree::snapshot(tree.outside), outsideBefore);
  EXPECT_EQ(tree.outputBytes(), tree.originalOutput);

  // The nearest that must build: a mount beside the link root whose name starts like it.
  makeFolders(tree.linkRoot + "2");
  status = inMountNamespace([&] {
    if (!bindMount(tree.outside, tree.linkRoot + "2")) return 77;
    TestPlatform platform;
    platform.processes.programFolderOverride = tree.dir / "program";
    return runProgram(platform, "?" + tree.settingsPath());
  });
  EXPECT_EQ(status, 0) << readBytes(report);
  EXPECT_FALSE(pathExists(tree.linkRoot + "/top.txt"));
  EXPECT_EQ(BuildTree::snapshot(tree.outside), outsideBefore);
}

TEST(LinkSafety, TwoBranchesDeeperThanTheDescriptorLimitAreRemoved) {
  TempFolder dir;
  makeFolders(dir / "links");
  // Two branches, each made one level at a time: the whole path is longer than the system
  // takes at once, and the walk must let go of the first before it goes down the second.
  for (const char* branch : {"a", "b"}) {
    makeFolders(dir / (std::string("links/") + branch));
    int fd = ::open((dir / (std::string("links/") + branch)).c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 300; ++level) {
      ASSERT_EQ(::mkdirat(fd, "level", 0777), 0);
      int next = ::openat(fd, "level", O_RDONLY | O_DIRECTORY);
      ::close(fd);
      fd = next;
    }
    ::close(fd);
  }
  pid_t child = ::fork();
  if (child == 0) {
    struct rlimit few = {64, 64};
    ::setrlimit(RLIMIT_NOFILE, &few);
    TestPlatform platform;
    auto tree = platform.files.openFolderTree(dir / "links/");
    removeOldStructure(platform, *tree);
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(BuildTree::snapshot(dir / "links").size(), 0u);
}

}  // namespace
}  // namespace kelvane::testing
