// The Windows platform's listing, path resolution, identities and names, with real files
// beside the test executable.

#include <gtest/gtest.h>
#include <windows.h>

#include <map>

#include "base/failure.h"
#include "tests/win/win_platform_fixture.h"

namespace kelvane {
namespace {

using namespace testing;

struct ListCase {
  const char* name;
  std::string pattern;  // relative to the scratch folder; "" is the empty pattern
  Names listed;
};

class Listing : public WinPlatformTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(Listing, ListsVisibleEntriesAndExistsAgrees) {
  const ListCase& c = GetParam();
  std::string pattern = c.pattern.empty() ? "" : t / c.pattern;
  EXPECT_EQ(namesOf(platform.files.listFolder(pattern)), c.listed);
  EXPECT_EQ(platform.files.exists(pattern), !c.listed.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, Listing,
    ::testing::Values(ListCase{"FolderContents", "dir\\", {"..\\", ".\\", "a.txt", "sub\\"}},
                      ListCase{"SingleFile", "dir\\a.txt", {"a.txt"}},
                      ListCase{"SingleFolder", "dir\\sub", {"sub\\"}},
                      ListCase{"OtherCaseGivesStoredName", "DIR\\A.TXT", {"a.txt"}},
                      ListCase{"HiddenAttribute", "dir\\hid.txt", {}},
                      ListCase{"SystemAttribute", "dir\\sys.txt", {}},
                      ListCase{"DottedName", "dir\\.dotted", {}},
                      ListCase{"StarIsLiteral", "dir\\*", {}},
                      ListCase{"QuestionMarkIsLiteral", "dir\\a.tx?", {}},
                      ListCase{"Missing", "dir\\none", {}}, ListCase{"MissingFolder", "none\\", {}},
                      ListCase{"FileAsFolder", "dir\\a.txt\\", {}}, ListCase{"Empty", "", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinPlatformTest, DriveRootHasAChainOfOneAndFoldersBelowItLonger) {
  std::string root = t.path().substr(0, 3);
  ASSERT_EQ(root.substr(1), ":\\");
  EXPECT_EQ(platform.files.chainOf(root, true).size(), 1u);
  auto rootTree = platform.files.openFolderTree(root);
  ASSERT_NE(rootTree, nullptr);
  EXPECT_EQ(rootTree->chain().size(), 1u);
  auto tree = platform.files.openFolderTree(t / "dir");
  ASSERT_NE(tree, nullptr);
  std::vector<FileIdentity> chain = tree->chain();
  EXPECT_GT(chain.size(), 2u);
  EXPECT_EQ(chain, platform.files.chainOf(t / "dir", true));
  EXPECT_EQ(chain.back(), platform.files.chainOf(root, true).front());
}

TEST_F(WinPlatformTest, IdentitiesFollowWhatIsReachedNotTheText) {
  auto id = [&](const std::string& relative) {
    return platform.files.chainOf(t / relative, false).front();
  };
  EXPECT_EQ(id("DIR\\SUB"), id("dir\\sub"));
  EXPECT_EQ(id("dir\\sub\\..\\a.txt"), id("dir\\a.txt"));
  EXPECT_NE(id("dir\\a.txt"), id("dir\\hid.txt"));
  // A missing last part gives the chain of the folder it would be in.
  EXPECT_EQ(platform.files.chainOf(t / "dir\\none\\deeper", true),
            platform.files.chainOf(t / "dir", true));
  EXPECT_EQ(platform.files.resolvedPath(t / "DIR\\SUB\\"),
            platform.files.resolvedPath(t / "dir\\sub"));
  EXPECT_EQ(platform.files.resolvedPath(t / "dir\\none\\x"),
            platform.files.resolvedPath(t / "dir") + "\\none\\x");
  EXPECT_TRUE(platform.files.fileExists(t / "DIR\\A.TXT"));
  EXPECT_FALSE(platform.files.fileExists(t / "dir\\sub"));
  EXPECT_TRUE(platform.files.folderExists(t / "Dir\\Sub"));
  EXPECT_FALSE(platform.files.folderExists(t / "dir\\a.txt"));
}

TEST_F(WinPlatformTest, NamesKeepTheirTextWhateverTheEncoding) {
  const std::string utf8 = "\xce\xa9mega \xc3\xa9t\xc3\xa9";  // "Ωmega été"
  platform.files.createFolderTree(t / utf8);
  EXPECT_EQ(namesOf(platform.files.listFolder(t / utf8)), Names{utf8 + "\\"});
  // Bytes that are not UTF-8 are a name in the ANSI code page, listed back as UTF-8.
  platform.files.writeFile(t / "caf\xe9.txt", "x");
  Names listed = namesOf(platform.files.listFolder(t / "caf\xe9.txt"));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_NE(listed[0], "caf\xe9.txt");
  EXPECT_TRUE(isUtf8(listed[0]));
  EXPECT_EQ(platform.files.readFile(t / listed[0]), "x");
  EXPECT_THROW(platform.files.readFile(t / std::string("a\0b", 3)), Failure);

  // Table text in the code page: what it holds goes there and back; what it lacks is
  // refused, never written as a look-alike.
  ASSERT_EQ(::GetACP(), 1252u) << "these cases are for Wine's default code page";
  EXPECT_EQ(platform.files.fromLocalText("caf\xe9.txt"), listed[0]);
  EXPECT_EQ(platform.files.toLocalText(listed[0]), "caf\xe9.txt");
  for (const char* lacking : {"\xf0\x9f\x98\x80", "\xc5\x82"})  // an emoji, "ł" (best fit "l")
    EXPECT_EQ(platform.files.toLocalText(lacking), std::nullopt) << lacking;
}

TEST_F(WinPlatformTest, FailuresCarryTheSystemNumberTextAndPath) {
  try {
    platform.files.readFile(t / "dir\\none.txt");
    FAIL() << "reading a missing file did not fail";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(failure.description().find(t / "dir\\none.txt"), std::string::npos);
    EXPECT_GT(failure.description().size(), (t / "dir\\none.txt").size() + 20);
  }
}

// A link in a merge source is followed only when an account the build trusts made it. (Wine
// shows a Unix link's owner as that of what it leads to.)
TEST_F(WinPlatformTest, ALinkAnotherAccountMadeIsNamedForWhatItIs) {
  t.folder("src\\real");
  t.folder("theirs");
  hostLink("dir\\sub", "src\\mine");
  if (IsSkipped()) return;
  hostLink("theirs", "src\\foreign");
  if (IsSkipped()) return;
  if (!runOnHost("chown nobody " + hostPath(t / "theirs"))) GTEST_SKIP() << "no other account";
  std::map<std::string, DirEntry> listed;
  for (DirEntry& entry : platform.files.listFolder(t / "src\\")) listed[entry.name] = entry;
  EXPECT_EQ(listed["real"].foreignOwner, "");
  EXPECT_EQ(listed["mine"].type, EntryType::Link);
  EXPECT_EQ(listed["mine"].foreignOwner, "");
  EXPECT_EQ(listed["foreign"].type, EntryType::Link);
  EXPECT_NE(listed["foreign"].foreignOwner, "");
  EXPECT_EQ(platform.files.listFolder(t / "src\\foreign")[0].foreignOwner,
            listed["foreign"].foreignOwner);
}

}  // namespace
}  // namespace kelvane
