// The Windows platform's files: the report's folders, the input table, and the output
// table replaced only on commit, with real files beside the test executable.

#include <gtest/gtest.h>
#include <windows.h>

#include "base/failure.h"
#include "base/short_hash.h"
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
  // Left by a killed build of this table (its name in any case), and of another one.
  std::string mine = "out\\.kelvane-" + shortHash("table.txt") + "-0123456789abcdef.tmp";
  std::string other = "out\\.kelvane-" + shortHash("table.txt2") + "-0123456789abcdef.tmp";
  std::string foreign = "out\\.kelvane-" + shortHash("table.txt") + "-fedcba9876543210.tmp";
  t.file(mine, "left by a killed build");
  t.file(other, "another table's");
  t.file(foreign, "another account's");
  // Wine shows a file of another Unix account as another account's.
  bool foreignMade = runOnHost("chown 65534 " + hostPath(t / foreign));
  if (!foreignMade) ::DeleteFileW(win::wide(t / foreign).c_str());
  {
    auto output = platform.files.createOutput(t / "out\\TABLE.txt");
    output->write("abandoned");
  }
  EXPECT_EQ(t.read("out\\table.txt"), "old\r\n");
  Names left{other.substr(4), "table.txt"};
  if (foreignMade) left.push_back(foreign.substr(4));
  std::sort(left.begin(), left.end());
  EXPECT_EQ(t.tree("out"), left);
  ::DeleteFileW(win::wide(t / other).c_str());
  ::DeleteFileW(win::wide(t / foreign).c_str());

  // Two at once take two names, which no one could have guessed.
  auto output = platform.files.createOutput(t / "out\\table.txt");
  auto beside = platform.files.createOutput(t / "out\\table.txt");
  EXPECT_EQ(t.tree("out").size(), 3u);
  beside.reset();
  output->write("new\r\n");
  output->commit();
  EXPECT_EQ(t.read("out\\table.txt"), "new\r\n");
  EXPECT_EQ(t.tree("out"), Names{"table.txt"});
  DWORD attributes = ::GetFileAttributesW(win::wide(t / "out\\table.txt").c_str());
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);

  // The same bytes again: the table is left as it is, its file and its times with it, also
  // when it has a second name and would be written in place.
  auto stamp = [&](const std::string& path) {
    win::Handle h = win::openForLooking(win::wide(path), true);
    BY_HANDLE_FILE_INFORMATION info{};
    ::GetFileInformationByHandle(h.get(), &info);
    return std::to_string(info.nFileIndexLow) + " " +
           std::to_string(info.ftLastWriteTime.dwLowDateTime);
  };
  ::SetEnvironmentVariableW(L"LOCALAPPDATA", win::wide(t / "state").c_str());
  for (bool twoNames : {false, true}) {
    SCOPED_TRACE(twoNames ? "two names" : "one name");
    if (twoNames) {
      ASSERT_TRUE(::CreateHardLinkW(win::wide(t / "out\\alias.txt").c_str(),
                                    win::wide(t / "out\\table.txt").c_str(), nullptr));
    }
    {  // a time long gone, which any write would change
      HANDLE h = ::CreateFileW(win::wide(t / "out\\table.txt").c_str(), FILE_WRITE_ATTRIBUTES, 7,
                               nullptr, OPEN_EXISTING, 0, nullptr);
      FILETIME old{0x10000000, 0x01c00000};
      EXPECT_TRUE(::SetFileTime(h, nullptr, nullptr, &old));
      ::CloseHandle(h);
    }
    std::string before = stamp(t / "out\\table.txt");
    auto same = platform.files.createOutput(t / "out\\table.txt");
    same->write("new\r\n");
    same->commit();
    same.reset();
    EXPECT_EQ(stamp(t / "out\\table.txt"), before);
    EXPECT_EQ(t.tree("out"), twoNames ? (Names{"alias.txt", "table.txt"}) : Names{"table.txt"});
  }
  ::DeleteFileW(win::wide(t / "out\\alias.txt").c_str());

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
  // Relative: the state folder for a table with a second name (written in place); "" for one.
  std::string stateFolder = "";
};

class OutputCheck : public WinPlatformTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(OutputCheck, FailsWhereTheOutputWouldAndChangesNothing) {
  const OutputCase& c = GetParam();
  t.file("out\\ro.txt", "r");
  setAttributes(t / "out\\ro.txt", FILE_ATTRIBUTE_READONLY);
  t.file("out\\table.txt", "old");
  if (!c.stateFolder.empty()) {
    ASSERT_TRUE(::CreateHardLinkW(win::wide(t / "out\\alias.txt").c_str(),
                                  win::wide(t / "out\\table.txt").c_str(), nullptr));
    ::SetEnvironmentVariableW(L"LOCALAPPDATA", win::wide(t / c.stateFolder).c_str());
  }
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

INSTANTIATE_TEST_SUITE_P(
    Places, OutputCheck,
    ::testing::Values(
        OutputCase{"TableThere", "out\\table.txt", false},
        OutputCase{"TwoNames", "out\\table.txt", false, "state\\made"},
        OutputCase{"TwoNamesNoStateFolder", "out\\table.txt", true, "dir\\a.txt\\state"},
        OutputCase{"NewTable", "out\\new.txt", false}, OutputCase{"NoName", "", true},
        OutputCase{"Folder", "dir\\sub", true}, OutputCase{"ReadOnly", "out\\ro.txt", true},
        OutputCase{"FolderMissing", "none\\new.txt", true}, OutputCase{"Device", "NUL", true}),
    [](const auto& info) { return std::string(info.param.name); });

// A journal a stopped build left in the running account's state folder brings its old bytes
// back before the next build decides anything; one of another file, or one never finished,
// puts nothing back; one in a folder another account may change, or beside the table where
// earlier builds kept it, is refused and named, never applied.
TEST_F(WinPlatformTest, AJournalInTheStateFolderPutsItsOldBytesBackFirst) {
  std::string table = t / "out\\table.txt";
  ::SetEnvironmentVariableW(L"LOCALAPPDATA", win::wide(t / "state").c_str());
  t.folder("state\\kelvane");
  for (std::string kind : {"whole", "another file", "unfinished", "beside the table", "two names",
                           "another account's", "folder of another account", "open"}) {
    SCOPED_TRACE(kind);
    t.file("out\\table.txt", "torn");
    FileIdentity id = platform.files.chainOf(table, true).front();
    char name[64];
    std::snprintf(name, sizeof name, "state\\kelvane\\table-%08llx-%016llx.journal",
                  static_cast<unsigned long long>(id.device),
                  static_cast<unsigned long long>(id.inode));
    std::string text = "kelvane table journal 1\n" +
                       std::to_string(id.device + (kind == "another file")) + " " +
                       std::to_string(id.inode) + " 5\nolder\nend\n";
    if (kind == "unfinished") text.resize(text.size() - 4);
    std::string journal = kind == "beside the table" ? "out\\table.txt.kelvane-journal" : name;
    t.file(journal, text);
    if (kind == "open") openToEveryone(t / "state\\kelvane");
    // Wine shows a file of another Unix account as another account's.
    if ((kind == "another account's" && !runOnHost("chown 65534 " + hostPath(t / journal))) ||
        (kind == "folder of another account" &&
         !runOnHost("chown 65534 " + hostPath(t / "state\\kelvane")))) {
      ::DeleteFileW(win::wide(t / journal).c_str());
      continue;
    }
    if (kind == "two names") {
      ASSERT_TRUE(::CreateHardLinkW(win::wide(t / "state\\second").c_str(),
                                    win::wide(t / journal).c_str(), nullptr));
    }
    if (kind != "whole" && kind != "unfinished") {
      try {
        platform.files.createOutput(table);
        ADD_FAILURE() << "not refused";
      } catch (const Failure& failure) {
        bool folder = kind == "open" || kind == "folder of another account";
        EXPECT_NE(failure.description().find(folder ? "kelvane\"" : journal.substr(6)),
                  std::string::npos)
            << failure.description();
      }
      EXPECT_THROW(platform.files.checkOutput(table), Failure);
      EXPECT_EQ(t.read("out\\table.txt"), "torn");
      ::DeleteFileW(win::wide(t / journal).c_str());
      ::DeleteFileW(win::wide(t / "state\\second").c_str());
      runOnHost("chown 0 " + hostPath(t / "state\\kelvane"));
      continue;
    }
    platform.files.createOutput(table);  // never committed
    EXPECT_EQ(t.read("out\\table.txt"), kind == "whole" ? "older" : "torn");
    EXPECT_EQ(attributesOf(t / journal), INVALID_FILE_ATTRIBUTES);
  }
}

// A source is looked at and listed through one handle; the look vouches for nothing where
// another account may set the folder's times, and there is none of what is no folder.
TEST_F(WinPlatformTest, ASourceIsLookedAtAsItIsListed) {
  FolderStamp seen, again = platform.files.folderStamp(t / "dir\\");
  EXPECT_EQ(namesOf(platform.files.listStampedFolder(t / "dir\\", seen)),
            (Names{"..\\", ".\\", "a.txt", "sub\\"}));
  EXPECT_GT(seen.tickNs, 0);
  EXPECT_EQ(seen.id, platform.files.chainOf(t / "dir", true).front());
  EXPECT_EQ(std::pair(again.changedNs, again.modifiedNs),
            std::pair(seen.changedNs, seen.modifiedNs));
  for (std::string pattern : {t / "dir", t / "none\\", t / "dir\\a.txt\\"})
    EXPECT_EQ(platform.files.folderStamp(pattern).id, FileIdentity{}) << pattern;
  openToEveryone(t / "dir");
  EXPECT_EQ(platform.files.listStampedFolder(t / "dir\\", seen).size(), 4u);
  EXPECT_EQ(seen.tickNs, 0);
}

// The last build's record is read only as a plain file of the running account's with one
// name, that no account other than the system's own can change, in a folder of the same;
// written whole or not at all, what a stopped one left removed.
TEST_F(WinPlatformTest, ARecordIsReadOnlyWhereNoOtherAccountCanChangeIt) {
  std::string record = t / "state\\kelvane\\record-1-2";
  auto write = [&](const std::string& bytes, bool commit) {
    auto out = platform.files.createRecord(record);
    out->write(bytes);
    if (commit) out->commit();
  };
  auto read = [&] {
    std::unique_ptr<RecordInput> in = platform.files.openRecord(record);
    std::string text(8, '\0');
    if (!in) return std::string("none");
    in->read(text.data(), 1);
    in->restart();
    text.resize(in->read(text.data(), text.size()));
    return text;
  };
  EXPECT_EQ(read(), "none");
  write("stopped", false);
  EXPECT_EQ(t.tree("state\\kelvane"), Names{});
  t.file("state\\kelvane\\.kelvane-" + shortHash("record-1-2") + "-0123456789abcdef.tmp", "");
  write("first", true);
  write("second", true);
  EXPECT_EQ(read(), "second");
  EXPECT_EQ(t.tree("state\\kelvane"), Names{"record-1-2"});
  for (std::string kind : {"two names", "another account's", "open to everyone", "a folder",
                           "folder open to everyone"}) {
    SCOPED_TRACE(kind);
    if (kind == "two names")
      ::CreateHardLinkW(win::wide(t / "state\\second").c_str(), win::wide(record).c_str(), nullptr);
    // Wine shows a file of another Unix account as another account's.
    if (kind == "another account's" && !runOnHost("chown 65534 " + hostPath(record))) continue;
    if (kind == "open to everyone") openToEveryone(record);
    if (kind == "a folder" && ::DeleteFileW(win::wide(record).c_str()))
      t.folder("state\\kelvane\\record-1-2");
    if (kind == "folder open to everyone") openToEveryone(t / "state\\kelvane");
    EXPECT_THROW(read(), Failure);
    ::DeleteFileW(win::wide(t / "state\\second").c_str());
    ::RemoveDirectoryW(win::wide(record).c_str());
    if (kind == "folder open to everyone") {
      EXPECT_THROW(write("", false), Failure);
      continue;
    }
    write("again", true);  // the nearest case: the record put in its place is read
    EXPECT_EQ(read(), "again");
  }
}

}  // namespace
}  // namespace kelvane
