#include "build/vfs_file.h"

#include <gtest/gtest.h>

#include "build/dir_map.h"
#include "tests/support/fake_platform.h"
#include "tests/support/scratch_tree.h"

namespace kelvane {
namespace {

using testing::FakePlatform;
using testing::ScratchTree;
using testing::vfsLine;
using Lines = std::vector<std::string>;

TEST(OldTable, IsReadAsFields) {
  ScratchTree t;
  FakePlatform platform;
  t.file("old.vfs", "a|b,c|d\r\n\"quoted|x\"\r\n\r\n  blanks  \r\nlast");
  EXPECT_EQ(readOldTable(platform, t / "old.vfs"),
            (Lines{"a|b", "c|d", "quoted|x", "", "blanks", "last"}));
  t.file("empty.vfs", "");
  EXPECT_EQ(readOldTable(platform, t / "empty.vfs"), Lines{});
  EXPECT_THROW(readOldTable(platform, t / "missing.vfs"), Failure);
}

TEST(VfsWriter, WritesOldLinesRootAndMergedEntriesWithCrLf) {
  ScratchTree t;
  FakePlatform platform;
  t.folder("src/debian");
  DirTable table;
  FolderScan(platform, table).DirMap(t / "src/", "linux", MODE_MAP);
  Settings s;
  s.WhereCreate = t / "links/";
  s.VFS = t / "out.vfs";
  s.VirtualR = "/merged/";
  s.OwnU = "anon";
  s.OwnG = "users";
  s.CHMOD = 7.5f;
  {
    VfsWriter vfs(platform, s);
    vfs.writeOldLines({"old one", ""});
    vfs.writeRootEntry();
    vfs.writeMergedEntry(table, 1);
    vfs.commit();
  }
  EXPECT_EQ(t.read("out.vfs"),
            "old one\r\n\r\n" + vfsLine(t / "links", "/merged/", "anon|users|7.5") +
                vfsLine(t / "src/debian", "/merged//linux/debian", "anon|users|7.5"));
}

TEST(VfsWriter, LeavesTheTableAsItWasUntilCommitted) {
  ScratchTree t;
  FakePlatform platform;
  t.file("out.vfs", "before\r\n");
  Settings s;
  s.WhereCreate = t / "links/";
  s.VFS = t / "out.vfs";
  {
    VfsWriter vfs(platform, s);
    vfs.writeOldLines(Lines(20000, "a long enough line to pass the write buffer"));
    vfs.writeRootEntry();
  }
  EXPECT_EQ(t.read("out.vfs"), "before\r\n");
  EXPECT_EQ(t.tree(""), Lines{"out.vfs"});
}

}  // namespace
}  // namespace kelvane
