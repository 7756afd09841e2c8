// Folders made below an opened folder and the link root made in its folder: each level
// reached from a checked one, never through a reparse point, with real files beside the test
// executable (and Unix links, which Wine shows as reparse points).

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/failure.h"
#include "tests/win/win_platform_fixture.h"

namespace kelvane {
namespace {

using namespace testing;

enum class Made { New, There, Fails };

struct MakeCase {
  const char* name;
  std::string relative;  // below root
  bool dryRun;
  Made made;
  std::string failure;  // what the failure says
  bool link = false;    // root\lnk leads to elsewhere
};

class MakeFolder : public WinPlatformTest, public ::testing::WithParamInterface<MakeCase> {};

TEST_P(MakeFolder, MakesTheLastLevelOnlyBelowRealFolders) {
  const MakeCase& c = GetParam();
  t.folder("root\\g");
  t.folder("elsewhere");
  t.file("root\\f.txt", "f");
  if (c.link) hostLink("elsewhere", "root\\lnk");
  if (IsSkipped()) return;
  Names before = t.tree();
  auto tree = platform.openFolderTree(t / "root");
  ASSERT_NE(tree, nullptr);
  if (c.made == Made::Fails) {
    try {
      tree->makeFolder(c.relative, c.dryRun);
      FAIL() << "made " << c.relative;
    } catch (const Failure& failure) {
      EXPECT_NE(failure.description().find(c.failure), std::string::npos) << failure.what();
      EXPECT_NE(failure.description().find(t / "root\\"), std::string::npos) << failure.what();
    }
  } else {
    EXPECT_EQ(tree->makeFolder(c.relative, c.dryRun), c.made == Made::New);
  }
  Names after = before;
  if (c.made == Made::New && !c.dryRun) {
    after.push_back("root\\g\\new\\");
    std::sort(after.begin(), after.end());
  }
  EXPECT_EQ(t.tree(), after);
  EXPECT_EQ(t.tree("elsewhere"), Names{});
}

const char* const kElse = "something other than a folder is already there under that name";
const char* const kElseOnTheWay = "something other than a folder is already there at";

INSTANTIATE_TEST_SUITE_P(
    Levels, MakeFolder,
    ::testing::Values(MakeCase{"Missing", "g\\new", false, Made::New, ""},
                      MakeCase{"EitherSeparatorAndDots", "g/./new\\", false, Made::New, ""},
                      MakeCase{"DryRunMakesNothing", "g\\new", true, Made::New, ""},
                      MakeCase{"FolderThere", "G", false, Made::There, ""},
                      MakeCase{"FolderThereDryRun", "g\\", true, Made::There, ""},
                      MakeCase{"FileThere", "f.txt", false, Made::Fails, kElse},
                      MakeCase{"FileThereDryRun", "f.txt", true, Made::Fails, kElse},
                      MakeCase{"FileOnTheWay", "f.txt\\x", false, Made::Fails, kElseOnTheWay},
                      MakeCase{"MissingOnTheWay", "none\\x", false, Made::Fails, "none\\x"},
                      MakeCase{"ParentLevel", "..\\x", false, Made::Fails, "\"..\""},
                      MakeCase{"LinkThere", "lnk", false, Made::Fails, kElse, true},
                      MakeCase{"LinkOnTheWay", "lnk\\x", false, Made::Fails, kElseOnTheWay, true},
                      MakeCase{"LinkOnTheWayDryRun", "lnk\\x", true, Made::Fails, kElseOnTheWay,
                               true}),
    [](const auto& info) { return std::string(info.param.name); });

struct CreateTreeCase {
  const char* name;
  std::string relative;
  std::string failure;  // "" when the tree opens
  bool link = false;
};

class CreateFolderTree : public WinPlatformTest,
                         public ::testing::WithParamInterface<CreateTreeCase> {};

TEST_P(CreateFolderTree, MakesOrTakesOneFolderLevel) {
  const CreateTreeCase& c = GetParam();
  t.folder("elsewhere");
  if (c.link) hostLink("elsewhere", "lnk");
  if (IsSkipped()) return;
  if (c.failure.empty()) {
    auto tree = platform.createFolderTree(t / c.relative);
    ASSERT_NE(tree, nullptr);
    EXPECT_TRUE(tree->makeFolder("inside", false));
    EXPECT_TRUE(isFolder(t / c.relative + "\\inside"));
  } else {
    Names before = t.tree();
    try {
      platform.createFolderTree(t / c.relative);
      FAIL() << "opened " << c.relative;
    } catch (const Failure& failure) {
      EXPECT_NE(failure.description().find(c.failure), std::string::npos) << failure.what();
    }
    EXPECT_EQ(t.tree(), before);
  }
  EXPECT_EQ(t.tree("elsewhere"), Names{});
}

INSTANTIATE_TEST_SUITE_P(Places, CreateFolderTree,
                         ::testing::Values(CreateTreeCase{"Missing", "links\\", ""},
                                           CreateTreeCase{"FolderThere", "dir\\sub", ""},
                                           CreateTreeCase{"FileThere", "dir\\a.txt", kElse},
                                           CreateTreeCase{"FolderAboveMissing", "none\\links",
                                                          "none\\links"},
                                           CreateTreeCase{"LinkThere", "lnk\\", kElse, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane
