// Folders made below an opened folder, and the link root made in its folder: each level
// reached from a checked one, never through a reparse point (under Wine: a Unix link).

#include <gtest/gtest.h>

#include "base/failure.h"
#include "tests/win/win_platform_fixture.h"

namespace kelvane {
namespace {

using namespace testing;

struct MakeCase {
  const char* name;
  bool linkRoot;         // createFolderTree(root\relative) rather than makeFolder(relative)
  std::string relative;  // "lnk" leads to elsewhere
  bool dryRun;           // only asked (holdsFolder, checkFolderCreation)
  std::string outcome;   // "made", "there", or what the failure says
};

class MakeFolder : public WinPlatformTest, public ::testing::WithParamInterface<MakeCase> {};

TEST_P(MakeFolder, MakesTheLastLevelOnlyBelowRealFolders) {
  const MakeCase& c = GetParam();
  t.folder("root\\g");
  t.folder("elsewhere");
  t.file("root\\f.txt", "f");
  if (c.relative.find("lnk") != std::string::npos) hostLink("elsewhere", "root\\lnk");
  // Under Wine the folder's security follows its Unix mode.
  if (c.relative.rfind("ro\\", 0) == 0) {
    t.folder("root\\ro");
    if (!runOnHost("chmod 555 " + hostPath(t / "root\\ro"))) GTEST_SKIP() << "no mode set here";
  }
  if (IsSkipped()) return;
  Names before = t.tree();
  std::string outcome, asked;
  try {
    auto root = platform.files.openFolderTree(t / "root");
    if (c.linkRoot) {
      // The dry run's question fails where, and in the words, the build does.
      try {
        platform.files.checkFolderCreation(t / "root\\" + c.relative);
        asked = "made";
      } catch (const Failure& failure) {
        asked = failure.description();
      }
    }
    if (c.linkRoot && c.dryRun)
      outcome = asked;
    else if (c.linkRoot)
      outcome = platform.files.createFolderTree(t / "root\\" + c.relative)->holdsFolder("x")
                    ? ""
                    : "made";
    else
      outcome = c.dryRun ? (root->holdsFolder(c.relative) ? "there" : "made")
                         : (root->makeFolder(c.relative) ? "made" : "there");
  } catch (const Failure& failure) {
    outcome = failure.description();
    EXPECT_NE(outcome.find(t / "root\\"), std::string::npos) << outcome;
  }
  EXPECT_NE(outcome.find(c.outcome), std::string::npos) << outcome;
  if (c.linkRoot && !c.dryRun) {
    EXPECT_EQ(asked, outcome);
  }
  if (c.outcome == "made" && !c.dryRun && c.relative != "g") {  // "g" was there
    before.push_back("root\\g\\new\\");
    std::sort(before.begin(), before.end());
  }
  EXPECT_EQ(t.tree(), before);
  EXPECT_EQ(t.tree("elsewhere"), Names{});
}

const char* const kElse = "something other than a folder is already there under that name";
const char* const kOnTheWay = "something other than a folder is already there at";

INSTANTIATE_TEST_SUITE_P(
    Levels, MakeFolder,
    ::testing::Values(MakeCase{"Missing", false, "g\\new", false, "made"},
                      MakeCase{"EitherSeparatorAndDots", false, "g/./new\\", false, "made"},
                      MakeCase{"DryRunMakesNothing", false, "g\\new", true, "made"},
                      MakeCase{"FolderThere", false, "G", false, "there"},
                      MakeCase{"FileThere", false, "f.txt", false, kElse},
                      MakeCase{"FileThereDryRun", false, "f.txt", true, kElse},
                      MakeCase{"FileOnTheWay", false, "f.txt\\x", false, kOnTheWay},
                      MakeCase{"MissingOnTheWay", false, "none\\x", false, "none\\x"},
                      MakeCase{"ParentLevel", false, "..\\x", false, "\"..\""},
                      MakeCase{"LinkThere", false, "lnk", false, kElse},
                      MakeCase{"LinkOnTheWayDryRun", false, "lnk\\x", true, kOnTheWay},
                      MakeCase{"LinkRootMissing", true, "g\\new", false, "made"},
                      MakeCase{"LinkRootThere", true, "g", false, "made"},
                      MakeCase{"LinkRootAboveMissing", true, "none\\new", false, "none\\new"},
                      MakeCase{"FileAsLinkRoot", true, "f.txt\\", false, kElse},
                      MakeCase{"LinkAsLinkRoot", true, "lnk\\", false, kElse},
                      MakeCase{"ReadOnlyFolderDryRun", true, "ro\\new", true,
                               "Cannot create folder \""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvane
