#include "posix/posix_file_system.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <latch>
#include <set>
#include <thread>

#include "base/failure.h"
#include "posix/posix_look_ahead.h"
#include "tests/support/as_account.h"
#include "tests/support/system_setup.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::TempFolder;

std::vector<std::string> names(const std::vector<DirEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.name);
  std::sort(out.begin(), out.end());
  return out;
}

EntryType typeOf(const std::vector<DirEntry>& entries, const std::string& name) {
  for (const auto& e : entries)
    if (e.name == name) return e.type;
  ADD_FAILURE() << name << " not listed";
  return EntryType::File;
}

using Names = std::vector<std::string>;

TEST(Listing, AFolderPatternListsVisibleFoldersFilesAndLinks) {
  TempFolder dir;
  testing::makeFolders(dir / "f/sub");
  testing::makeFolders(dir / "f/.hidden");
  testing::writeBytes(dir / "f/file", "x");
  testing::writeBytes(dir / "f/.dotfile", "x");
  ::symlink("sub", (dir / "f/link").c_str());
  // A socket is neither folder nor file and is left out.
  int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string socketPath = dir / "f/socket";
  ASSERT_LT(socketPath.size(), sizeof addr.sun_path);
  std::copy(socketPath.begin(), socketPath.end(), addr.sun_path);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  testing::SystemPlatform platform;
  auto entries = platform.files.listFolder(dir / "f/");
  ::close(s);
  EXPECT_EQ(names(entries), (Names{".", "..", "file", "link", "sub"}));
  EXPECT_EQ(typeOf(entries, "sub"), EntryType::Folder);
  EXPECT_EQ(typeOf(entries, "file"), EntryType::File);
  EXPECT_EQ(typeOf(entries, "link"), EntryType::Link);
  EXPECT_EQ(typeOf(entries, "."), EntryType::Folder);
}

TEST(Listing, AnyOtherPatternListsTheOneEntryItNames) {
  TempFolder dir;
  testing::makeFolders(dir / "iso");
  testing::makeFolders(dir / ".hidden");
  testing::SystemPlatform platform;
  EXPECT_EQ(names(platform.files.listFolder(dir / "iso")), Names{"iso"});
  EXPECT_EQ(names(platform.files.listFolder(dir / ".hidden")), Names{});
  EXPECT_EQ(names(platform.files.listFolder(dir / "missing")), Names{});
  EXPECT_EQ(names(platform.files.listFolder(dir / "missing/")), Names{});
  EXPECT_EQ(names(platform.files.listFolder(dir / "missing/deeper/")), Names{});
  EXPECT_EQ(names(platform.files.listFolder("")), Names{});
  // A last "." names a folder, as the system takes it: a file before it is none.
  testing::writeBytes(dir / "file", "x");
  EXPECT_EQ(names(platform.files.listFolder(dir / "iso/.")), Names{"."});
  EXPECT_EQ(names(platform.files.listFolder(dir / "file/.")), Names{});
  // Wildcards are ordinary characters.
  EXPECT_EQ(names(platform.files.listFolder(dir / "*")), Names{});
}

TEST(Listing, AnUnreadableFolderFailsNamingIt) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
  TempFolder dir;
  testing::makeFolders(dir / "locked");
  ::chmod((dir / "locked").c_str(), 0);
  testing::SystemPlatform platform;
  try {
    platform.files.listFolder(dir / "locked/");
    FAIL() << "listed an unreadable folder";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), EACCES);
    EXPECT_NE(failure.description().find(dir / "locked/"), std::string::npos);
  }
}

TEST(Existence, MatchesWhatTheListingWouldReturn) {
  TempFolder dir;
  testing::makeFolders(dir / "empty");
  testing::makeFolders(dir / ".hidden");
  testing::writeBytes(dir / "file", "x");
  ::symlink("empty", (dir / "link").c_str());
  ::symlink("nowhere", (dir / "dangling").c_str());
  testing::SystemPlatform platform;
  EXPECT_TRUE(platform.files.exists(dir / "empty/"));  // an empty folder still exists
  EXPECT_TRUE(platform.files.exists(dir / "empty"));
  EXPECT_TRUE(platform.files.exists(dir / "file"));
  EXPECT_TRUE(platform.files.exists(dir / "link/"));  // a link root may be a link
  EXPECT_TRUE(platform.files.exists(dir / "dangling"));
  EXPECT_FALSE(platform.files.exists(dir / "file/"));
  EXPECT_FALSE(platform.files.exists(dir / ".hidden"));
  EXPECT_FALSE(platform.files.exists(dir / "missing"));
  EXPECT_FALSE(platform.files.exists(""));
  EXPECT_TRUE(platform.files.exists("/"));
  EXPECT_TRUE(platform.files.folderExists(dir / "link"));
  EXPECT_FALSE(platform.files.fileExists(dir / "link"));
  EXPECT_TRUE(platform.files.fileExists(dir / "file"));
}

TEST(Folders, MakingOneLevelBelowATreeTakesOnlyAFolderThatIsThere) {
  TempFolder dir;
  testing::SystemPlatform platform;
  testing::makeFolders(dir / "root/a");
  testing::makeFolders(dir / "elsewhere");
  testing::writeBytes(dir / "root/file", "x");
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "root/link").c_str()), 0);
  auto tree = platform.files.createFolderTree(dir / "root");
  EXPECT_FALSE(tree->makeFolder("a"));
  EXPECT_TRUE(tree->holdsFolder("a"));
  EXPECT_FALSE(tree->holdsFolder("a/b"));
  EXPECT_FALSE(testing::pathExists(dir / "root/a/b"));
  EXPECT_TRUE(tree->makeFolder("a/b"));
  EXPECT_TRUE(tree->holdsFolder("a/./b/"));
  EXPECT_TRUE(testing::isFolder(dir / "root/a/b"));
  // A link where a level goes is something else there, never a way elsewhere.
  for (const char* relative : {"link", "link/new", "file", "missing/new"}) {
    EXPECT_THROW(tree->holdsFolder(relative), Failure) << relative;
    EXPECT_THROW(tree->makeFolder(relative), Failure) << relative;
  }
  EXPECT_FALSE(testing::pathExists(dir / "elsewhere/new"));
}

TEST(Folders, ResolvedPathsFollowLinksAsFarAsTheyExist) {
  TempFolder dir;
  testing::makeFolders(dir / "real/inner");
  ::symlink("real", (dir / "link").c_str());
  testing::SystemPlatform platform;
  std::string real = std::filesystem::canonical(dir / "real").string();
  EXPECT_EQ(platform.files.resolvedPath(dir / "link/inner"), real + "/inner");
  // Nothing is folded past a part that does not exist: the system would not either.
  EXPECT_EQ(platform.files.resolvedPath(dir / "link/not/yet/../there"), real + "/not/yet/../there");
  // ".." after a link is the folder holding the link's target, not the link's own folder.
  ::symlink("real/inner", (dir / "deep").c_str());
  EXPECT_EQ(platform.files.resolvedPath(dir / "deep/.."), real);
  EXPECT_EQ(platform.files.resolvedPath(dir / "link/"), real);
  EXPECT_EQ(platform.files.resolvedPath("/"), "/");
}

class Output : public ::testing::Test {
 protected:
  Names folderNames() { return names(testing::systemFiles().listFolder(dir.path() + "/")); }
  TempFolder dir;
  testing::SystemPlatform platform;
};

TEST_F(Output, ReplacesTheTargetOnlyOnCommit) {
  testing::writeBytes(dir / "vfs", "old");
  ::chmod((dir / "vfs").c_str(), 0640);
  {
    auto out = platform.files.createOutput(dir / "vfs");
    out->write("new ");
    out->write(std::string(200000, 'x'));  // more than the buffer holds
    EXPECT_EQ(testing::readBytes(dir / "vfs"), "old");
    out->commit();
  }
  EXPECT_EQ(testing::readBytes(dir / "vfs"), "new " + std::string(200000, 'x'));
  struct stat st;
  ASSERT_EQ(::stat((dir / "vfs").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(folderNames(), (Names{".", "..", "vfs"}));  // no temporary file left
}

TEST_F(Output, AbandonedOutputLeavesTheTargetAndNoTemporaryFile) {
  testing::writeBytes(dir / "vfs", "old");
  {
    auto out = platform.files.createOutput(dir / "vfs");
    out->write("partial");
  }
  EXPECT_EQ(testing::readBytes(dir / "vfs"), "old");
  EXPECT_EQ(folderNames(), (Names{".", "..", "vfs"}));
}

TEST_F(Output, ALinkKeepsPointingAtItsReplacedTarget) {
  testing::makeFolders(dir / "real");
  testing::writeBytes(dir / "real/vfs", "old");
  ::symlink("real/vfs", (dir / "vfs").c_str());
  auto out = platform.files.createOutput(dir / "vfs");
  out->write("new");
  out->commit();
  EXPECT_EQ(testing::readBytes(dir / "real/vfs"), "new");
  char target[256] = {};
  EXPECT_GT(::readlink((dir / "vfs").c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), "real/vfs");
}

// A save never cuts the old file short before the new bytes are safe: on a full disk it fails
// with the file whole; a file with a second name is written in place and both names show it.
TEST_F(Output, ASavedFileIsNeverLeftHalfWritten) {
  std::string big(256 * 1024, 's');
  testing::makeFolders(dir / "small");
  int status = testing::inMountNamespace([&] {
    if (::mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=128k") != 0) return 77;
    testing::writeBytes(dir / "small/settings.dat", "old settings");
    try {
      platform.files.writeFile(dir / "small/settings.dat", big);
      return 1;
    } catch (const Failure& failure) {
      if (failure.number() != ENOSPC) return 2;
    }
    return testing::readBytes(dir / "small/settings.dat") == "old settings" ? 0 : 3;
  });
  if (status == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(status, 0) << "1: saved, 2: another failure, 3: the old file was cut";
  testing::writeBytes(dir / "settings.dat", "old");
  ASSERT_EQ(::link((dir / "settings.dat").c_str(), (dir / "other.dat").c_str()), 0);
  platform.files.writeFile(dir / "settings.dat", "new");
  EXPECT_EQ(testing::readBytes(dir / "other.dat"), "new");
}

TEST_F(Output, AMissingFolderFailsNamingTheOutput) {
  try {
    platform.files.createOutput(dir / "none/vfs");
    FAIL() << "created an output in a missing folder";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), ENOENT);
    EXPECT_NE(failure.description().find(dir / "none/vfs"), std::string::npos);
  }
}

TEST(Processes, AProgramThatCannotStartFails) {
  testing::SystemPlatform platform;
  EXPECT_THROW(platform.processes.startDetached("/nonexistent/kelvane-no-such-program", {"?x"}),
               Failure);
  TempFolder dir;
  // A started program runs on its own; its work shows up without being waited for here.
  std::string mark = dir / "mark";
  platform.processes.startDetached(
      "sh", {"-c", "echo started > '" + mark + ".tmp' && mv '" + mark + ".tmp' '" + mark + "'"});
  for (int i = 0; i < 6000 && !testing::pathExists(mark); ++i) ::usleep(10000);
  EXPECT_EQ(testing::readBytes(mark), "started\n");
}

// Waits (up to a minute, so that a fault fails instead of hanging) for the end handle.
bool signalled(const WatchedProcess& process) {
  struct pollfd end = {static_cast<int>(process.endHandle()), POLLIN, 0};
  return ::poll(&end, 1, 60000) == 1;
}

TEST(Processes, AWatchedProcessTellsWhenItEndsAndHow) {
  testing::SystemPlatform platform;
  TempFolder dir;
  std::string go = dir / "go";
  auto running = platform.processes.startWatched(
      "sh", {"-c", "while [ ! -e '" + go + "' ]; do sleep 0.01; done"});
  EXPECT_EQ(running->exitStatus(), std::nullopt) << "it waits for the mark";
  struct pollfd end = {static_cast<int>(running->endHandle()), POLLIN, 0};
  EXPECT_EQ(::poll(&end, 1, 0), 0) << "not signalled while it runs";
  testing::writeBytes(go, "");
  ASSERT_TRUE(signalled(*running));
  EXPECT_EQ(running->exitStatus(), 0);
  EXPECT_EQ(running->exitStatus(), 0) << "asked again";

  for (const auto& [script, status] :
       std::vector<std::pair<std::string, int>>{{"exit 3", 3}, {"kill -KILL $$", 128 + SIGKILL}}) {
    auto ended = platform.processes.startWatched("sh", {"-c", script});
    ASSERT_TRUE(signalled(*ended));
    EXPECT_EQ(ended->exitStatus(), status) << script;
  }
  EXPECT_THROW(platform.processes.startWatched("/nonexistent/kelvane-no-such-program", {"?x"}),
               Failure);
}

TEST(Processes, TheProgramFolderHoldsTheRunningExecutable) {
  testing::SystemPlatform platform;
  std::string exe = platform.processes.executablePath();
  EXPECT_EQ(platform.processes.programFolder(), exe.substr(0, exe.rfind('/')));
  EXPECT_TRUE(platform.files.fileExists(exe));
}

}  // namespace
}  // namespace kelvane

namespace kelvane {
namespace {

TEST(FolderTree, WalksFromTheOpenedFolderWhateverItsNameLeadsTo) {
  testing::TempFolder dir;
  std::string root = dir / "links/";
  testing::makeFolders(root + "a/sub");
  testing::writeBytes(root + "a/file", "x");
  testing::SystemPlatform platform;
  auto tree = platform.files.openFolderTree(root);
  ASSERT_NE(tree, nullptr);
  // Renaming the link root after it was opened does not move the walk elsewhere.
  ASSERT_EQ(::rename(root.c_str(), (dir / "moved").c_str()), 0);
  tree->enter("a");
  EXPECT_EQ(tree->currentPath(), root + "a/");
  testing::writeBytes(dir / "moved/a/.hidden", "x");
  bool hidden = false;
  EXPECT_EQ(names(tree->list(hidden)), (Names{".", "..", "file", "sub"}));
  EXPECT_TRUE(hidden);
  tree->deleteFile(".hidden");  // never listed, but the program's own may go by name
  tree->deleteFile("file");
  tree->removeFolder("sub");
  EXPECT_TRUE(std::filesystem::is_empty(dir / "moved/a"));
  EXPECT_THROW(tree->enter(".."), Failure);  // ".." is a folder, but not one below
  tree->leave();
  EXPECT_EQ(tree->currentPath(), root);
  EXPECT_FALSE(testing::pathExists(dir / "moved/a/file"));
  EXPECT_EQ(platform.files.openFolderTree(dir / "nothing-here/"), nullptr);
}

// The looks at a large folder's subfolders are taken side by side: each is the one look at
// that name, a failure stays with its own name, and only folders are handed over.
// And the folder's listing, longer than one call returns, holds each name there.
TEST(FolderTree, LooksTakenTogetherAreEachTheLookAtThatName) {
  testing::TempFolder dir;
  std::vector<std::string> names;
  for (int i = 0; i < 700; ++i) {
    names.push_back("f" + std::to_string(i) + std::string(100, 'x'));
    std::string path = dir / ("links/" + names.back());
    if (i % 7 == 1)
      testing::writeBytes(path, "x");
    else if (i % 7 == 2)
      ::symlink(".", path.c_str());
    else if (i % 7 == 3)
      continue;  // nothing there
    else
      testing::makeFolders(path);
    struct stat st;
    // Sticky: never how a new folder is made.
    if (i % 7 == 4 && ::stat(path.c_str(), &st) == 0) ::chmod(path.c_str(), st.st_mode | S_ISVTX);
  }
  auto tree = testing::systemFiles().openFolderTree(dir / "links/");
  ASSERT_NE(tree, nullptr);
  std::vector<std::string_view> views(names.begin(), names.end());
  std::vector<FolderLook> looks;
  tree->lookAtFolders(views, looks, false);
  std::vector<FolderStamp> handed(names.size());
  std::vector<bool> wasHanded(names.size());
  tree->lookAtSubfolders("", views, [&](size_t i, const FolderStamp& seen) {
    handed[i] = seen;
    wasHanded[i] = true;
  });
  ASSERT_EQ(looks.size(), names.size());
  FolderListing listing;
  bool holdsUnlisted = true;
  tree->listCompact(listing, holdsUnlisted);
  std::set<std::string_view> listed;
  for (size_t i = 0; i < listing.size(); ++i) listed.insert(listing.name(i));
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(listed.count(names[i]), i % 7 == 3 ? 0u : 1u);
    FolderStamp seen;
    bool own = false;
    try {
      own = tree->lookAtFolder(names[i], seen);
      EXPECT_FALSE(looks[i].failed);
    } catch (const Failure&) {
      EXPECT_TRUE(looks[i].failed);
      EXPECT_EQ(i % 7, 3u);
      continue;
    }
    EXPECT_EQ(looks[i].own, own);
    EXPECT_EQ(looks[i].own, i % 7 == 0 || i % 7 >= 5);
    EXPECT_EQ(looks[i].seen.id, seen.id);
    EXPECT_EQ(looks[i].seen.changedNs, seen.changedNs);
    EXPECT_EQ(wasHanded[i], i % 7 != 1 && i % 7 != 2);
    if (wasHanded[i]) {
      EXPECT_EQ(handed[i].id, seen.id);
    }
  }
}

// A look taken ahead is handed over once, in the very folder it was taken in, only for a name
// it was taken at, and only where the folder is known unchanged since: the others are looked
// at then.
TEST(FolderTree, LooksAndListingsTakenAheadAreHandedOverInTheirOwnFolderOnce) {
  if (std::thread::hardware_concurrency() < 2)
    GTEST_SKIP() << "one core: nothing is looked at ahead";
  testing::TempFolder dir;
  std::string root = dir / "links/";
  for (const char* folder : {"g/a", "g/b", "g/c", "h/a", "k/a", "l/a", "m/a"})
    testing::makeFolders(root + folder);
  auto tree = testing::systemFiles().openFolderTree(root);
  ASSERT_NE(tree, nullptr);
  static std::latch* taken;
  std::latch all(1);
  taken = &all;
  posix::looksAheadTaken = [] { taken->count_down(); };
  // A folder is listed ahead only after a look a tick past its last change.
  for (auto until = std::chrono::system_clock::now() + std::chrono::milliseconds(20);
       std::chrono::system_clock::now() < until;) {
  }
  tree->lookAhead({{"g", std::string("a\0b\0gone\0", 9)},
                   {"h", std::string("a\0", 2)},
                   {"k", std::string("a\0", 2)},
                   {"l", "", true},
                   {"m", "", true}});
  all.wait();
  posix::looksAheadTaken = nullptr;
  // Listed ahead: l's listing is handed over as it stands; m, changed since, is listed again.
  testing::makeFolders(root + "m/b");
  static int handedOver = 0;
  posix::listingHandedOver = [] { ++handedOver; };
  for (std::string folder : {"l", "m"}) {
    tree->enter(folder);
    FolderListing listing;
    bool holdsUnlisted = false;
    tree->listCompact(listing, holdsUnlisted);
    size_t named = 0;
    for (size_t i = 0; i < listing.size(); ++i) named += listing.name(i)[0] != '.';
    EXPECT_EQ(named, folder == "l" ? 1u : 2u) << folder;
    tree->leave();
  }
  posix::listingHandedOver = nullptr;
  EXPECT_EQ(handedOver, 1);
  // Sticky: never how a new folder is made; so a look at a now says it is not the build's own.
  for (const char* folder : {"g/a", "k/a"}) ASSERT_EQ(::chmod((root + folder).c_str(), 01700), 0);
  ASSERT_EQ(::rename((root + "h").c_str(), (dir / "h-old").c_str()), 0);
  testing::makeFolders(root + "h/a");
  auto looksAt = [&](std::vector<std::string_view> names, bool unchanged = true) {
    std::vector<FolderLook> looks;
    tree->lookAtFolders(names, looks, unchanged);
    return looks;
  };
  tree->enter("g");
  std::vector<FolderLook> looks = looksAt({"a", "b", "c", "gone"});
  EXPECT_TRUE(looks[0].own);  // as it was ahead
  EXPECT_TRUE(looks[1].own && looks[2].own);
  EXPECT_TRUE(looks[3].failed);
  EXPECT_FALSE(looksAt({"a"})[0].own);  // looked at again
  tree->leave();
  tree->enter("h");
  struct stat now;
  ASSERT_EQ(::stat((root + "h/a").c_str(), &now), 0);
  EXPECT_EQ(looksAt({"a"})[0].seen.id.inode, now.st_ino);
  tree->leave();
  tree->enter("k");
  EXPECT_FALSE(looksAt({"a"}, false)[0].own);  // not known unchanged: looked at now
  EXPECT_FALSE(looksAt({"a"})[0].own);         // and what was taken ahead there let go
}

// Changes made behind the walk are made in the order asked, each as it would have been made at
// once; a rename whose new name is taken by then removes the stale folder instead and hands
// the name back. The first change that fails is raised, and none asked after it is made.
TEST(FolderTree, ChangesBehindTheWalkAreMadeInOrderUpToTheFirstThatFails) {
  for (bool oneFails : {false, true}) {
    SCOPED_TRACE(oneFails ? "one fails" : "none fails");
    TempFolder dir;
    std::string g = dir / "links/g/";
    for (const char* folder : {"s1", "s2", "taken", "full", "s3"}) testing::makeFolders(g + folder);
    for (const char* file : {"s1/note", "taken/kept", "full/kept"})
      testing::writeBytes(g + file, "");
    auto tree = testing::systemFiles().openFolderTree(dir / "links/");
    std::vector<FolderNotRenamed> notRenamed;
    std::string failure;
    long openBefore = testing::openDescriptors();
    tree->startChanges();
    try {
      tree->enter("g");
      tree->enter("s1");
      tree->deleteFile("note");
      tree->leave();
      EXPECT_TRUE(tree->reuseFolder("s1", "m1", false));
      EXPECT_FALSE(tree->reuseFolder("s2", "taken", false));  // asked now, as the dry run asks
      // Said to go first, yet still there when the rename is made.
      EXPECT_TRUE(tree->reuseFolder("s2", "taken", true));
      if (oneFails) tree->removeFolder("full");
      tree->removeFolder("s3");
      tree->leave();
      tree->finishChanges(notRenamed);
    } catch (const Failure& caught) {
      failure = caught.description();
      try {
        tree->finishChanges(notRenamed);  // as the walk ends after a failure
      } catch (const Failure&) {
      }
    }
    EXPECT_EQ(testing::openDescriptors(), openBefore);  // the renamed folders' too, once made
    EXPECT_TRUE(std::filesystem::is_empty(g + "m1"));
    EXPECT_FALSE(testing::isFolder(g + "s1") || testing::isFolder(g + "s2"));
    EXPECT_TRUE(std::filesystem::exists(g + "taken/kept"));
    EXPECT_EQ(testing::isFolder(g + "s3"), oneFails);
    if (oneFails) {
      EXPECT_EQ(failure.find("Cannot remove folder \"" + g + "full\""), 0u) << failure;
    } else {
      EXPECT_EQ(failure, "");
      ASSERT_EQ(notRenamed.size(), 1u);
      EXPECT_EQ(notRenamed[0].folder, Names{"g"});
      EXPECT_EQ(notRenamed[0].to, "taken");
    }
  }
}

// Deleting a file fails where asking whether it may go fails, in the same words: in a folder
// the account may not write (the unlink refused), for a read-only file (refused before the
// unlink); elsewhere a file goes, and a folder is no file to delete.
TEST(FolderTree, DeletingAFileFailsAsAskingWhetherItMayGo) {
  testing::TempFolder dir;
  std::string root = dir / "links/";
  for (const char* place : {"locked/", "open/"}) {
    testing::makeFolders(root + place + "folder");
    testing::writeBytes(root + place + "file", "x");
    testing::writeBytes(root + place + "ro", "x");
    ::chmod((root + place + "ro").c_str(), 0444);
  }
  ::chmod((root + "locked").c_str(), 0555);
  ::chmod((root + "open").c_str(), 0777);  // open to the account playing the server's
  auto failureOf = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const Failure& failure) {
      return std::to_string(failure.number()) + " " + failure.source() + " " +
             failure.description();
    }
    return std::string("passed");
  };
  struct Row {
    const char *place, *name;
    bool refused;  // else checking passes and deleting does what the system says
  } rows[] = {{"locked", "file", true}, {"locked", "folder", true}, {"locked", "ro", true},
              {"open", "ro", true},     {"open", "file", false},    {"open", "folder", false}};
  auto tree = testing::systemFiles().openFolderTree(root);
  ASSERT_NE(tree, nullptr);
  testing::AsAccount as(::geteuid() == 0 ? 65534 : 0, 65534);  // root writes anywhere
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.place) + "/" + row.name);
    tree->enter(row.place);
    std::string asked = failureOf([&] { tree->checkRemoval(row.name); });
    std::string deleted = failureOf([&] { tree->deleteFile(row.name); });
    if (row.refused) {
      EXPECT_NE(asked, "passed");
      EXPECT_EQ(deleted, asked);
    } else {
      EXPECT_EQ(asked, "passed");
      EXPECT_EQ(deleted, row.name == std::string("file")
                             ? "passed"
                             : std::to_string(EISDIR) + " delete file Cannot delete file \"" +
                                   root + "open/folder\": " + testing::systemErrorText(EISDIR));
    }
    tree->leave();
  }
}

// Deeper than the folders a walk holds open: each one let go is opened again on the way back,
// and one moved away meanwhile stops the walk there, with nothing above it removed.
TEST(FolderTree, ADeepWalkChecksEachFolderItComesBackTo) {
  for (int run = 0; run < 4; ++run) {
    bool moveOne = run % 2, behind = run / 2;
    SCOPED_TRACE(std::string(moveOne ? "one moved away" : "all in place") +
                 (behind ? ", changes behind" : ""));
    testing::TempFolder dir;
    std::string path = dir / "links/sub", moved;
    for (int i = 0; i < 40; ++i) {
      path += "/l" + std::to_string(i);
      if (i == 5) moved = path;
    }
    testing::makeFolders(path);
    auto tree = testing::systemFiles().openFolderTree(dir / "links/");
    if (behind) tree->startChanges();
    tree->enter("sub");
    for (int i = 0; i < 40; ++i) tree->enter("l" + std::to_string(i));
    if (moveOne) {
      ASSERT_EQ(::rename(moved.c_str(), (dir / "moved").c_str()), 0);
    }
    std::string failure;
    try {
      for (int i = 39; i >= 0; --i) {
        tree->leave();
        tree->removeFolder("l" + std::to_string(i));
      }
    } catch (const Failure& caught) {
      failure = caught.description();
    }
    std::vector<FolderNotRenamed> none;
    tree->finishChanges(none);
    if (moveOne) {
      EXPECT_NE(failure.find("moved elsewhere"), std::string::npos) << failure;
      EXPECT_TRUE(testing::isFolder(dir / "links/sub/l0/l1/l2/l3/l4"));
    } else {
      EXPECT_EQ(failure, "");
      EXPECT_TRUE(std::filesystem::is_empty(dir / "links/sub"));
    }
  }
}

}  // namespace
}  // namespace kelvane
