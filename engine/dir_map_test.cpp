#include "engine/dir_map.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/failure.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::Op;
using testing::ScratchTree;
using testing::TestPlatform;

std::vector<std::string> namesOf(const DirTable& table) {
  std::vector<std::string> names;
  for (size_t row = 1; row <= table.count(); ++row) names.emplace_back(table.names(row));
  return names;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class MapMode : public ::testing::Test {
 protected:
  ScratchTree t;
  TestPlatform platform;
  DirTable table;
  FolderScan scan{platform, table};
};

TEST_F(MapMode, RecordsSubfoldersInListingOrderWithSharedColumns) {
  for (auto name : {"debian", "gentoo", "arch", "suse"}) t.folder("iso/" + std::string(name));
  t.file("iso/readme.txt");
  t.folder("iso/.hidden");
  std::string source = t / "iso/";
  scan.DirMap(source, "linux", MODE_MAP);

  std::vector<std::string> listed;
  for (const auto& entry : testing::systemFiles().listFolder(source))
    if (entry.type == EntryType::Folder && entry.name[0] != '.') listed.push_back(entry.name);
  EXPECT_EQ(namesOf(table), listed);  // the listing's own order, bare names, no "." or ".."
  ASSERT_EQ(table.count(), 4u);
  EXPECT_TRUE(table.found());
  for (size_t row = 1; row <= 4; ++row) {
    EXPECT_EQ(table.parents(row), source);
    EXPECT_EQ(table.physGenre(row), testing::native("linux/"));
    EXPECT_EQ(table.virtGenre(row), "linux/");
  }
  // The listing says what is a folder: no further test per entry.
  EXPECT_EQ(platform.faults.count(Op::FolderTest), 0);
  EXPECT_EQ(platform.faults.count(Op::FileTest), 0);
}

TEST_F(MapMode, CallsAppendAndKeepTheirOwnParentAndGenre) {
  t.folder("a/same");
  t.folder("b/same");
  t.folder("b/other");
  scan.DirMap(t / "a/", "", MODE_MAP);
  scan.DirMap(t / "b/", "g", MODE_MAP);
  ASSERT_EQ(table.count(), 3u);
  EXPECT_EQ(table.names(1), "same");
  EXPECT_EQ(table.parents(1), t / "a/");
  EXPECT_EQ(table.physGenre(1), "");
  EXPECT_EQ(table.virtGenre(1), "");
  for (size_t row = 2; row <= 3; ++row) {
    EXPECT_EQ(table.parents(row), t / "b/");
    EXPECT_EQ(table.physGenre(row), testing::native("g/"));
  }
  EXPECT_EQ(sorted({std::string(table.names(2)), std::string(table.names(3))}),
            (std::vector<std::string>{"other", "same"}));
  EXPECT_THROW(table.names(4), std::out_of_range);
  EXPECT_THROW(table.names(0), std::out_of_range);
}

TEST_F(MapMode, AddsNothingForFilesOnlyMissingOrEmptySources) {
  t.file("files/one");
  t.file("files/two");
  scan.DirMap(t / "files/", "g", MODE_MAP);
  scan.DirMap(t / "missing/", "g", MODE_MAP);
  scan.DirMap("", "", MODE_MAP);  // an empty merge line
  EXPECT_EQ(table.count(), 0u);
  EXPECT_FALSE(table.found());
}

TEST_F(MapMode, FoundOutlivesANewTable) {
  t.folder("src/one");
  scan.DirMap(t / "src/", "", MODE_MAP);
  table.clear();
  EXPECT_EQ(table.count(), 0u);
  EXPECT_TRUE(table.found());
  scan.DirMap(t / "src/", "", MODE_MAP);
  EXPECT_EQ(namesOf(table), (std::vector<std::string>{"one"}));
}

TEST_F(MapMode, PathWithoutSlashTestsThePathWithTheNameAppended) {
  t.folder("iso/debian");
  scan.DirMap(t / "iso", "", MODE_MAP);
  EXPECT_EQ(table.count(), 0u);  // no "isoiso" yet
  t.folder("isoiso");
  scan.DirMap(t / "iso", "", MODE_MAP);
  ASSERT_EQ(table.count(), 1u);
  EXPECT_EQ(table.names(1), "iso");
  EXPECT_EQ(table.parents(1), t / "iso");
}

TEST_F(MapMode, LinkCountsAsAFolderOnlyWhenItPointsToOne) {
  KELVANE_LINUX_ONLY("makes links");
  t.folder("target");
  t.file("plain");
  t.folder("src");
  t.link(t / "target", "src/to-folder");
  t.link(t / "plain", "src/to-file");
  t.link(t / "nowhere", "src/dangling");
  scan.DirMap(t / "src/", "", MODE_MAP);
  EXPECT_EQ(namesOf(table), (std::vector<std::string>{"to-folder"}));
}

TEST_F(MapMode, SkipsNamesTheTableCannotHold) {
  for (auto name : {"bar|in", "cr\rin", "lf\nin", "fine"}) t.folder("src/" + std::string(name));
  t.folder("src/.hidden");
  scan.DirMap(t / "src/", "", MODE_MAP);
  EXPECT_EQ(namesOf(table), (std::vector<std::string>{"fine"}));
}

TEST_F(MapMode, AFailingListingStopsTheScanKeepingEarlierRows) {
  t.folder("a/one");
  t.folder("b/two");
  scan.DirMap(t / "a/", "", MODE_MAP);
  platform.faults.failOn(Op::List);
  EXPECT_THROW(scan.DirMap(t / "b/", "", MODE_MAP), Failure);
  EXPECT_EQ(namesOf(table), (std::vector<std::string>{"one"}));
}

}  // namespace
}  // namespace kelvane
