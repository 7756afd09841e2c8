#include "engine/link_removal.h"

#include <gtest/gtest.h>

#include "base/failure.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::Op;
using testing::ScratchTree;
using testing::TestPlatform;
using Names = std::vector<std::string>;

class Removal : public ::testing::Test {
 protected:
  void remove() {
    auto tree = platform.files.openFolderTree(t / "links/");
    ASSERT_NE(tree, nullptr);
    removeOldStructure(platform, *tree);
  }

  ScratchTree t;
  TestPlatform platform;
};

TEST_F(Removal, EmptiesAThreeLevelTreeDeepestFirstAndKeepsTheLinkRoot) {
  t.folder("links/a/b/c");
  t.folder("links/a/b2");
  t.folder("links/d");
  t.file("links/top");
  t.file("links/a/mid");
  t.file("links/a/b/c/deep");
  std::vector<std::string> removed;
  platform.faults.beforeOperation = [&](Op op, const std::string& path) {
    if (op == Op::RemoveFolder) removed.push_back(path);
  };
  remove();

  EXPECT_TRUE(t.isFolder("links"));
  EXPECT_EQ(t.tree("links"), Names{});
  // Every folder goes after all of its children.
  ASSERT_EQ(removed.size(), 5u);
  for (size_t i = 0; i < removed.size(); ++i)
    for (size_t j = i + 1; j < removed.size(); ++j)
      EXPECT_NE(removed[j].rfind(removed[i] + testing::kSeparator, 0), 0u)
          << removed[i] << " before its child";
}

TEST_F(Removal, FilesOnlyAreDeletedAndNoFolderIsRemoved) {
  t.folder("links");
  t.file("links/one");
  t.file("links/two");
  remove();
  EXPECT_EQ(t.tree("links"), Names{});
  EXPECT_EQ(platform.faults.count(Op::RemoveFolder), 0);
}

TEST_F(Removal, LinksAreDeletedAsLinksAndNeverEntered) {
  KELVANE_LINUX_ONLY("makes links");
  t.folder("links/sub");
  t.folder("outside/deep");
  t.file("outside/precious");
  t.file("outside/deep/precious");
  t.link(t / "outside", "links/to-folder");
  t.link(t / "outside", "links/sub/to-folder");
  t.link(t / "outside/precious", "links/to-file");
  t.link(t / "nowhere", "links/dangling");
  remove();
  EXPECT_EQ(t.tree("links"), Names{});
  EXPECT_EQ(t.tree("outside"), (Names{"deep/", "deep/precious", "precious"}));
}

TEST_F(Removal, TheLinkRootMayItselfBeALink) {
  KELVANE_LINUX_ONLY("makes links");
  t.folder("real/sub/subsub");
  t.file("real/sub/file");
  t.link(t / "real", "links");
  remove();
  EXPECT_EQ(t.tree("real"), Names{});
  EXPECT_FALSE(t.isFolder("links"));  // still the link, not replaced
  EXPECT_TRUE(t.has("links"));
}

TEST_F(Removal, HiddenEntriesLeftBehindFailTheRemoval) {
  t.folder("links/sub");
  t.file("links/sub/.hidden");
  t.file("links/sub/visible");
  EXPECT_THROW(remove(), Failure);
  EXPECT_EQ(t.tree("links"), (Names{"sub/", "sub/.hidden"}));
}

TEST_F(Removal, ReadOnlyFileFailsTheRemovalAndStays) {
  t.folder("links/sub");
  t.file("links/sub/locked");
  ::chmod((t / "links/sub/locked").c_str(), 0444);
  try {
    remove();
    ADD_FAILURE() << "a read-only file was deleted";
  } catch (const Failure& failure) {
    EXPECT_NE(failure.description().find(t / "links/sub/locked"), std::string::npos)
        << failure.description();
  }
  EXPECT_TRUE(t.has("links/sub/locked"));
}

}  // namespace
}  // namespace kelvane
