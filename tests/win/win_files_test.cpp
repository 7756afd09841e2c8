// The Windows platform's files: the report's folders, the input table, and the output
// table replaced only on commit, with real files beside the test executable.

#include <gtest/gtest.h>
#include <windows.h>

#include "base/failure.h"
#include "tests/win/win_platform_fixture.h"

namespace kelvane {
namespace {

using namespace testing;

TEST_F(WinPlatformTest, ReportFoldersAreFoundAndMade) {
  EXPECT_TRUE(platform.files.folderWritable(t.path()));
  EXPECT_FALSE(platform.files.folderWritable(t / "none"));
  EXPECT_FALSE(platform.files.folderWritable(t / "dir\\a.txt"));
  EXPECT_EQ(t.tree("dir"), (Names{".dotted", "a.txt", "hid.txt", "sub\\", "sys.txt"}));

  platform.files.createPrivateFolders(t / "dir\\sub\\x\\y");
  EXPECT_TRUE(platform.files.folderExists(t / "dir\\sub\\x\\y"));
  EXPECT_THROW(platform.files.createPrivateFolders(t / "dir\\a.txt\\z"), Failure);

  ::SetEnvironmentVariableW(L"LOCALAPPDATA", win::wide(t / "appdata").c_str());
  EXPECT_EQ(platform.files.userStateFolder(), t / "appdata");
}

TEST_F(WinPlatformTest, InputIsPlainFilesOnly) {
  auto input = platform.files.openInput(t / "dir\\a.txt");
  char buffer[8];
  EXPECT_EQ(input->read(buffer, sizeof buffer), 1u);
  EXPECT_EQ(input->read(buffer, sizeof buffer), 0u);
  EXPECT_THROW(platform.files.openInput(t / "dir\\sub"), Failure);
  EXPECT_THROW(platform.files.openInput(t / "dir\\none"), Failure);
}

TEST_F(WinPlatformTest, OutputReplacesOnlyOnCommitAndKeepsAttributes) {
  t.file("out\\table.txt", "old\r\n");
  setAttributes(t / "out\\table.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
  t.file("out\\table.txt.kelvane", "left by a killed build");
  {
    auto output = platform.files.createOutput(t / "out\\table.txt");
    output->write("abandoned");
  }
  EXPECT_EQ(t.read("out\\table.txt"), "old\r\n");
  EXPECT_EQ(t.tree("out"), Names{"table.txt"});

  auto output = platform.files.createOutput(t / "out\\table.txt");
  output->write("new\r\n");
  output->commit();
  EXPECT_EQ(t.read("out\\table.txt"), "new\r\n");
  EXPECT_EQ(t.tree("out"), Names{"table.txt"});
  DWORD attributes = ::GetFileAttributesW(win::wide(t / "out\\table.txt").c_str());
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);

  auto fresh = platform.files.createOutput(t / "out\\fresh.txt");
  fresh->write("x");
  fresh->commit();
  EXPECT_EQ(t.read("out\\fresh.txt"), "x");
  EXPECT_FALSE(::GetFileAttributesW(win::wide(t / "out\\fresh.txt").c_str()) &
               FILE_ATTRIBUTE_HIDDEN);
  EXPECT_THROW(platform.files.createOutput(t / "dir\\sub"), Failure);
  setAttributes(t / "out\\fresh.txt", FILE_ATTRIBUTE_READONLY);
  EXPECT_THROW(platform.files.createOutput(t / "out\\fresh.txt"), Failure);
}

struct OutputCase {
  const char* name;
  std::string path;  // relative; "" is no name
  bool fails;
};

class OutputCheck : public WinPlatformTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(OutputCheck, FailsWhereTheOutputWouldAndChangesNothing) {
  const OutputCase& c = GetParam();
  t.file("out\\ro.txt", "r");
  setAttributes(t / "out\\ro.txt", FILE_ATTRIBUTE_READONLY);
  t.file("out\\table.txt", "old");
  std::string path = c.path.empty() ? "" : c.path == "NUL" ? c.path : t / c.path;
  Names before = t.tree();
  FILETIME written{}, now{};
  HANDLE folder = ::CreateFileW(win::wide(t / "out").c_str(), FILE_READ_ATTRIBUTES, 7, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ::GetFileTime(folder, nullptr, nullptr, &written);
  bool checked = true, created = true;
  try {
    platform.files.checkOutput(path);
  } catch (const Failure&) {
    checked = false;
  }
  EXPECT_EQ(t.tree(), before);
  ::GetFileTime(folder, nullptr, nullptr, &now);
  ::CloseHandle(folder);
  EXPECT_EQ(::CompareFileTime(&written, &now), 0);
  try {
    platform.files.createOutput(path);
  } catch (const Failure&) {
    created = false;
  }
  EXPECT_EQ(checked, !c.fails);
  EXPECT_EQ(created, !c.fails);
}

INSTANTIATE_TEST_SUITE_P(Places, OutputCheck,
                         ::testing::Values(OutputCase{"TableThere", "out\\table.txt", false},
                                           OutputCase{"NewTable", "out\\new.txt", false},
                                           OutputCase{"NoName", "", true},
                                           OutputCase{"Folder", "dir\\sub", true},
                                           OutputCase{"ReadOnly", "out\\ro.txt", true},
                                           OutputCase{"FolderMissing", "none\\new.txt", true},
                                           OutputCase{"Device", "NUL", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A journal a stopped build left beside the table brings its old bytes back before the next
// build decides anything; one of another file, or one never finished, puts nothing back.
TEST_F(WinPlatformTest, AJournalBesideTheTablePutsItsOldBytesBackFirst) {
  std::string table = t / "out\\table.txt", journal = table + ".kelvane-journal";
  for (const char* kind : {"whole", "another file", "unfinished"}) {
    SCOPED_TRACE(kind);
    t.file("out\\table.txt", "torn");
    FileIdentity id = platform.files.chainOf(table, true).front();
    std::string text = "kelvane table journal 1\n" +
                       std::to_string(id.device + (std::string(kind) == "another file")) + " " +
                       std::to_string(id.inode) + " 5\nolder\nend\n";
    if (std::string(kind) == "unfinished") text.resize(text.size() - 4);
    t.file("out\\table.txt.kelvane-journal", text);
    if (std::string(kind) == "another file") {
      EXPECT_THROW(platform.files.createOutput(table), Failure);
      EXPECT_EQ(t.read("out\\table.txt"), "torn");
      continue;
    }
    platform.files.createOutput(table);  // never committed
    EXPECT_EQ(t.read("out\\table.txt"), std::string(kind) == "whole" ? "older" : "torn");
    EXPECT_EQ(::GetFileAttributesW(win::wide(journal).c_str()), INVALID_FILE_ATTRIBUTES);
  }
}

}  // namespace
}  // namespace kelvane
