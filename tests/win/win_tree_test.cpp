// The Windows folder walk of a removal, from the folder it opened, with real files beside
// the test executable.

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "base/failure.h"
#include "tests/win/win_platform_fixture.h"

namespace kelvane {
namespace {

using namespace testing;

// The walk of a removal: what it may act on, and beside each refusal the nearest case that
// must still work.
class FolderTreeTest : public WinPlatformTest {
 protected:
  void SetUp() override {
    WinPlatformTest::SetUp();
    t.file("root\\a.txt", "a");
    t.file("root\\ro.txt", "r");
    t.file("root\\sub\\b.txt", "b");
    t.folder("root\\sub\\deep");
    t.file("root\\.kept", "hidden");
    setAttributes(t / "root\\ro.txt", FILE_ATTRIBUTE_READONLY);
    tree = platform.files.openFolderTree(t / "root");
    ASSERT_NE(tree, nullptr);
  }
  // The current folder's entries, checking whether it also holds hidden ones.
  Names listed(bool holdsHidden) {
    bool hidden = !holdsHidden;
    Names names = namesOf(tree->list(hidden));
    EXPECT_EQ(hidden, holdsHidden) << tree->currentPath();
    return names;
  }
  std::unique_ptr<FolderTree> tree;
};

TEST_F(FolderTreeTest, WalksDeletesAndRemovesFromTheOpenFolder) {
  EXPECT_EQ(listed(true), (Names{"..\\", ".\\", "a.txt", "ro.txt", "sub\\"}));
  tree->enter("SUB");
  EXPECT_EQ(tree->currentPath(), t / "root\\SUB\\");
  tree->deleteFile("b.txt");
  tree->enter("deep");
  EXPECT_EQ(listed(false), (Names{"..\\", ".\\"}));
  tree->leave();
  tree->removeFolder("deep");
  EXPECT_EQ(listed(false), (Names{"..\\", ".\\"}));
  tree->leave();
  tree->removeFolder("sub");
  tree->deleteFile("a.txt");
  EXPECT_EQ(t.tree("root"), (Names{".kept", "ro.txt"}));
}

// A plain ".foo" file, its hidden attribute cleared, is left out and marked as on Linux, so
// a stale folder holding one is not taken for empty; the nearest case, "foo", is listed. A
// read-only file is refused before it is removed (the question a dry run asks too).
TEST_F(FolderTreeTest, ADottedNameIsLeftOutAndMarkedWhateverItsAttributes) {
  t.file("root\\sub\\deep\\.foo", "f");
  setAttributes(t / "root\\sub\\deep\\.foo", FILE_ATTRIBUTE_NORMAL);
  t.file("root\\sub\\deep\\foo", "f");
  tree->enter("sub");
  tree->enter("deep");
  EXPECT_EQ(listed(true), (Names{"..\\", ".\\", "foo"}));
  tree->leave();
  tree->leave();
  EXPECT_THROW(tree->checkRemoval("ro.txt"), Failure);
  tree->checkRemoval("a.txt");
  EXPECT_EQ(listed(true).size(), 5u);  // ro.txt and a.txt still there
}

TEST_F(FolderTreeTest, RefusesWhatItMustNotTouch) {
  // Each refusal leaves the tree as it was.
  EXPECT_THROW(tree->deleteFile("ro.txt"), Failure);
  EXPECT_THROW(tree->deleteFile("sub"), Failure);
  EXPECT_THROW(tree->enter("a.txt"), Failure);
  EXPECT_THROW(tree->enter("none"), Failure);
  try {
    tree->removeFolder("sub");
    FAIL() << "a folder that is not empty was removed";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), ERROR_DIR_NOT_EMPTY);
  }
  EXPECT_EQ(t.tree("root"),
            (Names{".kept", "a.txt", "ro.txt", "sub\\", "sub\\b.txt", "sub\\deep\\"}));
  EXPECT_EQ(tree->currentPath(), t / "root\\");
}

// Deeper than the folders a walk holds open: each one let go is opened again on the way back,
// and one moved away meanwhile stops the walk there.
class DeepWalk : public FolderTreeTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DeepWalk, HoldsSoManyFoldersAndChecksEachOneItComesBackTo) {
  const bool moveOne = GetParam();
  const int depth = 40;
  std::string path = "root\\sub", moved;
  for (int i = 0; i < depth; ++i) {
    path += "\\l" + std::to_string(i);
    if (i == 5) moved = path;
  }
  t.file(path + "\\f.txt", "f");
  DWORD before = 0, inside = 0;
  ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
  tree->enter("sub");
  for (int i = 0; i < depth; ++i) tree->enter("l" + std::to_string(i));
  ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &inside));
  EXPECT_LE(inside, before + 32);
  tree->deleteFile("f.txt");
  // l5 has been let go; its folder is moved out of the tree, with everything below it, where
  // the system lets that be done to a folder holding open ones (Wine does).
  bool movedAway =
      moveOne && ::MoveFileExW(win::wide(t / moved).c_str(), win::wide(t / "moved").c_str(), 0);
  std::string failure;
  try {
    for (int i = depth - 1; i >= 0; --i) {
      tree->leave();
      tree->removeFolder("l" + std::to_string(i));
    }
    tree->leave();
  } catch (const Failure& caught) {
    failure = caught.description();
  }
  if (movedAway) {
    // The walk stops inside what was moved, and nothing above it goes.
    EXPECT_NE(failure.find(t / moved), std::string::npos) << failure;
    EXPECT_TRUE(isFolder(t / "moved"));
    EXPECT_TRUE(isFolder(t / "root\\sub\\l0\\l1\\l2\\l3\\l4"));
  } else {
    EXPECT_EQ(failure, "");
    EXPECT_EQ(tree->currentPath(), t / "root\\");
    EXPECT_EQ(t.tree("root\\sub"), (Names{"b.txt", "deep\\"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Walks, DeepWalk, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Moved" : "InPlace"; });

TEST_F(FolderTreeTest, KeepsOnlyAFolderAsThisBuildWouldMakeIt) {
  t.folder("root\\mine");
  t.folder("root\\open");
  openToEveryone(t / "root\\open");
  t.folder("root\\theirs");
  Names others{"a.txt", "none", "open"};
  if (runOnHost("chown nobody " + hostPath(t / "root\\theirs"))) others.push_back("theirs");
  if (runOnHost("ln -s " + hostPath(t / "root\\mine") + " " + hostPath(t / "root\\lnk")))
    others.push_back("lnk");
  EXPECT_TRUE(tree->isOwnFolder("mine"));
  EXPECT_TRUE(tree->isOwnFolder("SUB"));
  for (const std::string& name : others) EXPECT_FALSE(tree->isOwnFolder(name)) << name;
}

// A look at a folder sees everything that can change in it or about it, as one listing of
// the folder holding it does; a file in it written leaves the names it holds, and its look,
// alike. Where a folder made there would let others set its times, no look vouches at all.
struct FolderChange {
  const char* name;
  std::function<void(const std::string& folder)> change;  // of root\mine
  bool seen;
};

class LookAtFolder : public FolderTreeTest, public ::testing::WithParamInterface<FolderChange> {};

bool sameLook(const FolderStamp& a, const FolderStamp& b) {
  return a.id == b.id && a.changedNs == b.changedNs && a.modifiedNs == b.modifiedNs;
}

TEST_P(LookAtFolder, SeesEveryChangeToTheFolder) {
  t.file("root\\mine\\kept.txt", "k");
  ::Sleep(40);  // the change below comes a tick of the file system's clock later
  FolderStamp before, after, listed;
  ASSERT_TRUE(tree->lookAtFolder("mine", before));
  EXPECT_GT(before.tickNs, 0) << "a local NTFS volume (Wine's drives say they are)";
  std::vector<std::string_view> names{"a.txt", "none", "mine", "lnk"};
  if (runOnHost("ln -s " + hostPath(t / "root\\mine") + " " + hostPath(t / "root\\lnk"))) {
    EXPECT_FALSE(tree->lookAtFolder("lnk", listed));
  }
  std::vector<size_t> handed;
  tree->lookAtSubfolders("", names, [&](size_t i, const FolderStamp& seen) {
    handed.push_back(i);
    listed = seen;
  });
  EXPECT_EQ(handed, std::vector<size_t>{2});
  EXPECT_TRUE(sameLook(listed, before));
  GetParam().change(t / "root\\mine");
  ASSERT_TRUE(tree->lookAtFolder("mine", after));
  EXPECT_EQ(!sameLook(after, before), GetParam().seen);

  openToEveryone(t / "root", SUB_CONTAINERS_AND_OBJECTS_INHERIT);
  tree = platform.files.openFolderTree(t / "root");
  EXPECT_TRUE(tree->lookAtFolder("mine", after));
  EXPECT_EQ(after.tickNs, 0);
  tree->lookAtSubfolders("", names, [&](size_t, const FolderStamp&) { ADD_FAILURE(); });
}

void write(const std::string& path) { writeBytes(path, "new"); }
void moveTo(const std::string& from, const std::string& to) {
  ASSERT_TRUE(::MoveFileW(win::wide(from).c_str(), win::wide(to).c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    Changes, LookAtFolder,
    ::testing::Values(
        FolderChange{"Nothing", [](const std::string&) {}, false},
        FolderChange{"AFileInItWritten", [](const std::string& f) { write(f + "\\kept.txt"); },
                     false},
        FolderChange{"AFileAdded", [](const std::string& f) { write(f + "\\new"); }, true},
        FolderChange{"AHiddenFileAdded", [](const std::string& f) { write(f + "\\.new"); }, true},
        FolderChange{
            "AFileRemoved",
            [](const std::string& f) { ::DeleteFileW(win::wide(f + "\\kept.txt").c_str()); }, true},
        FolderChange{"AFileRenamed",
                     [](const std::string& f) { moveTo(f + "\\kept.txt", f + "\\new.txt"); }, true},
        FolderChange{"Hidden",
                     [](const std::string& f) { setAttributes(f, FILE_ATTRIBUTE_HIDDEN); }, true},
        FolderChange{"ReadOnly",
                     [](const std::string& f) { setAttributes(f, FILE_ATTRIBUTE_READONLY); }, true},
        FolderChange{"Security",
                     [](const std::string& f) { addAccess(f, DENY_ACCESS, FILE_WRITE_EA); }, true},
        FolderChange{"Replaced",
                     [](const std::string& f) {
                       moveTo(f, f + "-old");
                       makeFolders(f);
                     },
                     true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinPlatformTest, NoTreeWhereNoFolderIs) {
  EXPECT_EQ(platform.files.openFolderTree(t / "none"), nullptr);
  EXPECT_EQ(platform.files.openFolderTree(t / "dir\\a.txt"), nullptr);
  EXPECT_EQ(platform.files.openFolderTree(""), nullptr);
  EXPECT_NE(platform.files.openFolderTree(t / "dir\\"), nullptr);
}

}  // namespace
}  // namespace kelvane
