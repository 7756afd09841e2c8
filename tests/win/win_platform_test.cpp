// The Windows platform through its interface, with real files beside the test executable.

#include "platform/win/win_platform.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <thread>

#include "platform/failure.h"
#include "platform/win/win_support.h"
#include "tests/win/win_scratch.h"

namespace kelvane {
namespace {

using testing::WinScratch;
using Names = std::vector<std::string>;

Names namesOf(const std::vector<DirEntry>& entries) {
  Names names;
  for (const DirEntry& entry : entries)
    names.push_back(entry.name + (entry.type == EntryType::Folder ? "\\" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

void setAttributes(const std::string& path, DWORD attributes) {
  ASSERT_TRUE(::SetFileAttributesW(win::wide(path).c_str(), attributes)) << path;
}

class WinPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t.file("dir\\a.txt", "a");
    t.folder("dir\\sub");
    t.file("dir\\.dotted", "hidden by its name");
    t.file("dir\\hid.txt", "h");
    t.file("dir\\sys.txt", "s");
    setAttributes(t / "dir\\hid.txt", FILE_ATTRIBUTE_HIDDEN);
    setAttributes(t / "dir\\sys.txt", FILE_ATTRIBUTE_SYSTEM);
  }

  WinScratch t;
  WinPlatform platform;
};

struct ListCase {
  const char* name;
  std::string pattern;  // relative to the scratch folder; "" is the empty pattern
  Names listed;
};

class Listing : public WinPlatformTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(Listing, ListsVisibleEntriesAndExistsAgrees) {
  const ListCase& c = GetParam();
  std::string pattern = c.pattern.empty() ? "" : t / c.pattern;
  EXPECT_EQ(namesOf(platform.listFolder(pattern)), c.listed);
  EXPECT_EQ(platform.exists(pattern), !c.listed.empty());
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
  EXPECT_EQ(platform.chainOf(root, true).size(), 1u);
  auto rootTree = platform.openFolderTree(root);
  ASSERT_NE(rootTree, nullptr);
  EXPECT_EQ(rootTree->chain().size(), 1u);
  auto tree = platform.openFolderTree(t / "dir");
  ASSERT_NE(tree, nullptr);
  std::vector<FileIdentity> chain = tree->chain();
  EXPECT_GT(chain.size(), 2u);
  EXPECT_EQ(chain, platform.chainOf(t / "dir", true));
  EXPECT_EQ(chain.back(), platform.chainOf(root, true).front());
}

TEST_F(WinPlatformTest, IdentitiesFollowWhatIsReachedNotTheText) {
  auto id = [&](const std::string& relative) {
    return platform.chainOf(t / relative, false).front();
  };
  EXPECT_EQ(id("DIR\\SUB"), id("dir\\sub"));
  EXPECT_EQ(id("dir\\sub\\..\\a.txt"), id("dir\\a.txt"));
  EXPECT_NE(id("dir\\a.txt"), id("dir\\hid.txt"));
  // A missing last part gives the chain of the folder it would be in.
  EXPECT_EQ(platform.chainOf(t / "dir\\none\\deeper", true), platform.chainOf(t / "dir", true));
  EXPECT_EQ(platform.resolvedPath(t / "DIR\\SUB\\"), platform.resolvedPath(t / "dir\\sub"));
  EXPECT_EQ(platform.resolvedPath(t / "dir\\none\\x"),
            platform.resolvedPath(t / "dir") + "\\none\\x");
  EXPECT_TRUE(platform.fileExists(t / "DIR\\A.TXT"));
  EXPECT_FALSE(platform.fileExists(t / "dir\\sub"));
  EXPECT_TRUE(platform.folderExists(t / "Dir\\Sub"));
  EXPECT_FALSE(platform.folderExists(t / "dir\\a.txt"));
}

TEST_F(WinPlatformTest, NamesKeepTheirTextWhateverTheEncoding) {
  const std::string utf8 = "\xce\xa9mega \xc3\xa9t\xc3\xa9";  // "Ωmega été"
  platform.createFolder(t / utf8);
  EXPECT_EQ(namesOf(platform.listFolder(t / utf8)), Names{utf8 + "\\"});
  // Bytes that are not UTF-8 are a name in the ANSI code page, listed back as UTF-8.
  platform.writeFile(t / "caf\xe9.txt", "x");
  Names listed = namesOf(platform.listFolder(t / "caf\xe9.txt"));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_NE(listed[0], "caf\xe9.txt");
  EXPECT_TRUE(isUtf8(listed[0]));
  EXPECT_EQ(platform.readFile(t / listed[0]), "x");
  EXPECT_THROW(platform.readFile(t / std::string("a\0b", 3)), Failure);

  // Table text in the code page: what it holds goes there and back; what it lacks is
  // refused, never written as a look-alike.
  ASSERT_EQ(::GetACP(), 1252u) << "these cases are for Wine's default code page";
  EXPECT_EQ(platform.fromLocalText("caf\xe9.txt"), listed[0]);
  EXPECT_EQ(platform.toLocalText(listed[0]), "caf\xe9.txt");
  for (const char* lacking : {"\xf0\x9f\x98\x80", "\xc5\x82"})  // an emoji, "ł" (best fit "l")
    EXPECT_EQ(platform.toLocalText(lacking), std::nullopt) << lacking;
}

TEST_F(WinPlatformTest, FailuresCarryTheSystemNumberTextAndPath) {
  try {
    platform.readFile(t / "dir\\none.txt");
    FAIL() << "reading a missing file did not fail";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(failure.description().find(t / "dir\\none.txt"), std::string::npos);
    EXPECT_GT(failure.description().size(), (t / "dir\\none.txt").size() + 20);
  }
}

TEST_F(WinPlatformTest, CreateFolderUsesAFolderButNotAFile) {
  EXPECT_NO_THROW(platform.createFolder(t / "dir\\sub"));
  EXPECT_NO_THROW(platform.createFolder(t / "dir\\new"));
  EXPECT_TRUE(platform.folderExists(t / "dir\\new"));
  EXPECT_THROW(platform.createFolder(t / "dir\\a.txt"), Failure);
  EXPECT_THROW(platform.createFolder(t / "none\\deeper"), Failure);
}

TEST_F(WinPlatformTest, ReportFoldersAreFoundAndMade) {
  EXPECT_TRUE(platform.folderWritable(t.path()));
  EXPECT_FALSE(platform.folderWritable(t / "none"));
  EXPECT_FALSE(platform.folderWritable(t / "dir\\a.txt"));
  EXPECT_EQ(t.tree("dir"), (Names{".dotted", "a.txt", "hid.txt", "sub\\", "sys.txt"}));

  platform.createPrivateFolders(t / "dir\\sub\\x\\y");
  EXPECT_TRUE(platform.folderExists(t / "dir\\sub\\x\\y"));
  EXPECT_THROW(platform.createPrivateFolders(t / "dir\\a.txt\\z"), Failure);

  ::SetEnvironmentVariableW(L"LOCALAPPDATA", win::wide(t / "appdata").c_str());
  EXPECT_EQ(platform.userStateFolder(), t / "appdata");
}

TEST_F(WinPlatformTest, InputIsPlainFilesOnly) {
  auto input = platform.openInput(t / "dir\\a.txt");
  char buffer[8];
  EXPECT_EQ(input->read(buffer, sizeof buffer), 1u);
  EXPECT_EQ(input->read(buffer, sizeof buffer), 0u);
  EXPECT_THROW(platform.openInput(t / "dir\\sub"), Failure);
  EXPECT_THROW(platform.openInput(t / "dir\\none"), Failure);
}

TEST_F(WinPlatformTest, OutputReplacesOnlyOnCommitAndKeepsAttributes) {
  t.file("out\\table.txt", "old\r\n");
  setAttributes(t / "out\\table.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
  t.file("out\\table.txt.kelvane", "left by a killed build");
  {
    auto output = platform.createOutput(t / "out\\table.txt");
    output->write("abandoned");
  }
  EXPECT_EQ(t.read("out\\table.txt"), "old\r\n");
  EXPECT_EQ(t.tree("out"), Names{"table.txt"});

  auto output = platform.createOutput(t / "out\\table.txt");
  output->write("new\r\n");
  output->commit();
  EXPECT_EQ(t.read("out\\table.txt"), "new\r\n");
  EXPECT_EQ(t.tree("out"), Names{"table.txt"});
  DWORD attributes = ::GetFileAttributesW(win::wide(t / "out\\table.txt").c_str());
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);

  auto fresh = platform.createOutput(t / "out\\fresh.txt");
  fresh->write("x");
  fresh->commit();
  EXPECT_EQ(t.read("out\\fresh.txt"), "x");
  EXPECT_FALSE(::GetFileAttributesW(win::wide(t / "out\\fresh.txt").c_str()) &
               FILE_ATTRIBUTE_HIDDEN);
  EXPECT_THROW(platform.createOutput(t / "dir\\sub"), Failure);
  setAttributes(t / "out\\fresh.txt", FILE_ATTRIBUTE_READONLY);
  EXPECT_THROW(platform.createOutput(t / "out\\fresh.txt"), Failure);
}

TEST_F(WinPlatformTest, BuildsOfOnePathInAnyCaseTakeTurnsOthersDoNot) {
  auto held = platform.lockBuild({t / "dir\\sub", t / "dir\\a.txt"});
  // Another path is not held up (were it, this would never return).
  EXPECT_NE(platform.lockBuild({t / "dir"}), nullptr);
  std::vector<std::string> order;
  std::thread second([&] {
    WinPlatform other;
    auto lock = other.lockBuild({t / "DIR\\A.TXT"});
    order.push_back("second holds");
  });
  ::Sleep(300);
  order.push_back("first releases");
  held.reset();
  second.join();
  EXPECT_EQ(order, (Names{"first releases", "second holds"}));
}

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
    tree = platform.openFolderTree(t / "root");
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

TEST_F(WinPlatformTest, NoTreeWhereNoFolderIs) {
  EXPECT_EQ(platform.openFolderTree(t / "none"), nullptr);
  EXPECT_EQ(platform.openFolderTree(t / "dir\\a.txt"), nullptr);
  EXPECT_EQ(platform.openFolderTree(""), nullptr);
  EXPECT_NE(platform.openFolderTree(t / "dir\\"), nullptr);
}

struct CommandLineCase {
  const char* name;
  std::wstring commandLine;
  std::string argumentText;
};

class ArgumentText : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(ArgumentText, IsTheTextAfterTheProgramName) {
  EXPECT_EQ(argumentTextOf(GetParam().commandLine), GetParam().argumentText);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ArgumentText,
    ::testing::Values(
        CommandLineCase{"Nothing", L"kelvane.exe", ""},
        CommandLineCase{"QuotedProgramNothing", L"\"C:\\Program Files\\k\\kelvane.exe\"", ""},
        CommandLineCase{"BlanksInPathKept", L"C:\\k\\kelvane.exe ?C:\\my  settings.dat",
                        "?C:\\my  settings.dat"},
        CommandLineCase{"QuotedProgram", L"\"C:\\Program Files\\kelvane.exe\" ?x.dat", "?x.dat"},
        CommandLineCase{"LeadingBlanksAndTabsDropped", L"kelvane.exe \t  x.dat ", "x.dat "},
        CommandLineCase{"QuotesKept", L"kelvane.exe \"?my file.dat\"", "\"?my file.dat\""},
        CommandLineCase{"NoBlankAfterQuotedProgram", L"\"kelvane.exe\"?x.dat", "?x.dat"},
        CommandLineCase{"NonAsciiAsUtf8", L"kelvane.exe ?\u00e9t\u00e9.dat",
                        "?\xc3\xa9t\xc3\xa9.dat"}),
    [](const auto& info) { return std::string(info.param.name); });

struct StartCase {
  const char* name;
  std::string program;
  std::vector<std::string> args;
  std::string commandLine;
};

class StartCommand : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartCommand, IsFormedAsTheWindowAndTheReportNeedIt) {
  EXPECT_EQ(commandLineOf(GetParam().program, GetParam().args), GetParam().commandLine);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, StartCommand,
    ::testing::Values(
        StartCase{"ReportInNotepad",
                  WinPlatform().textEditor(),
                  {"C:\\my tools\\kelvaneerrors.txt"},
                  "notepad.exe C:\\my tools\\kelvaneerrors.txt"},
        StartCase{"BuildWithBlanksInSettingsPath",
                  "C:\\k\\kelvane.exe",
                  {"?C:\\my s.dat"},
                  "C:\\k\\kelvane.exe ?C:\\my s.dat"},
        StartCase{"ProgramFolderWithBlanksQuoted",
                  "C:\\Program Files\\k\\kelvane.exe",
                  {"?a.dat"},
                  "\"C:\\Program Files\\k\\kelvane.exe\" ?a.dat"},
        StartCase{"EmptySettingsPath", "C:\\k\\kelvane.exe", {"?"}, "C:\\k\\kelvane.exe ?"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinPlatformTest, StartsAProgramWithoutWaiting) {
  std::string made = t / "made by child";
  platform.startDetached("cmd.exe", {"/c", "mkdir", "\"" + made + "\""});
  for (int i = 0; i < 500 && !platform.folderExists(made); ++i) ::Sleep(20);
  EXPECT_TRUE(platform.folderExists(made));
  EXPECT_THROW(platform.startDetached(t / "none.exe", {}), Failure);
}

TEST_F(WinPlatformTest, ProgramFolderHoldsTheExecutable) {
  std::string exe = platform.executablePath();
  std::string folder = platform.programFolder();
  EXPECT_EQ(exe.substr(0, folder.size() + 1), folder + "\\");
  EXPECT_EQ(exe.find('\\', folder.size() + 1), std::string::npos);
  EXPECT_TRUE(platform.fileExists(exe));
}

}  // namespace
}  // namespace kelvane
