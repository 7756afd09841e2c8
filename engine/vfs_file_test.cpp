#include "engine/vfs_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "base/failure.h"
#include "engine/dir_map.h"
#include "tests/support/memory_input.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::ScratchTree;
using testing::TestPlatform;
using testing::vfsLine;
using Lines = std::vector<std::string>;

std::vector<std::string> readLines(std::string_view bytes, size_t chunk) {
  OldTableReader reader(std::make_unique<testing::MemoryInput>(bytes, chunk));
  Lines lines;
  std::string line;
  while (reader.next(line)) lines.push_back(line);
  return lines;
}

TEST(OldTable, LinesComeBackByteForByteWhereverTheReadsEnd) {
  struct Case {
    std::string bytes;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"a|b,c|d\r\n\"quoted|x\"\r\n", {"a|b,c|d", "\"quoted|x\""}},
      {"  blanks  \n\nlast", {"  blanks  ", "", "last"}},
      {"lone\rcr\r\r\n", {"lone", "cr", ""}},
      {"\r\n", {""}},
      {"\n\r", {"", ""}},
      {std::string("nul\0byte\xa0", 9), {std::string("nul\0byte\xa0", 9)}},
  };
  for (const Case& c : cases)
    for (size_t chunk : {1, 2, 3, 64 * 1024}) {
      SCOPED_TRACE(::testing::PrintToString(c.bytes) + " in reads of " + std::to_string(chunk));
      EXPECT_EQ(readLines(c.bytes, chunk), c.lines);
    }
}

TEST(OldTable, ALongLineComesInBoundedPiecesThatNeverSplitACharacter) {
  const size_t piece = OldTableReader::kPiece;
  const std::string euro = "\xe2\x82\xac";  // three bytes
  struct Case {
    std::string line;
    bool utf8;
  } cases[] = {
      {std::string(3 * piece, 'a'), true},
      // A character across each place a piece could end: one, two and three bytes before it.
      {std::string(piece - 1, 'a') + euro + std::string(piece, 'b'), true},
      {std::string(piece - 2, 'a') + euro + euro, true},
      {std::string(piece - 3, 'a') + "\xf0\x9f\x98\x80" + std::string(piece, 'b'), true},
      // A broken character is broken however the line is cut.
      {std::string(piece - 1, 'a') + "\xe2\x82" + std::string(piece, 'b'), false},
      {std::string(piece - 1, 'a'), true},  // the nearest line that comes whole
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.size());
    OldTableReader reader(std::make_unique<testing::MemoryInput>(c.line + "\r\nnext", 4096));
    std::string piece, joined;
    size_t pieces = 0;
    while (reader.nextPiece(piece)) {
      EXPECT_LE(piece.size(), OldTableReader::kPiece);
      ++pieces;
      if (reader.lineEnded()) break;
      joined += piece;
    }
    EXPECT_EQ(joined + piece, c.line);
    EXPECT_EQ(pieces, c.line.size() / OldTableReader::kPiece + 1);
    EXPECT_EQ(reader.allUtf8(), c.utf8);
    ASSERT_TRUE(reader.next(piece));
    EXPECT_EQ(piece, "next");
  }
}

TEST(OldTable, OnlyAPlainFileIsRead) {
  ScratchTree t;
  TestPlatform platform;
  t.file("old.vfs", "old\r\n");
  EXPECT_NE(platform.files.openInput(t / "old.vfs"), nullptr);
  EXPECT_THROW(platform.files.openInput(t / "missing.vfs"), Failure);
  EXPECT_THROW(platform.files.openInput(t.path()), Failure);  // a folder
#ifndef _WIN32                                                // pipes and devices as POSIX has them
  ASSERT_EQ(::mkfifo((t / "fifo").c_str(), 0600), 0);
  // Refused at once: nobody writes to it, so waiting would never end.
  EXPECT_THROW(platform.files.openInput(t / "fifo"), Failure);
  EXPECT_THROW(platform.files.openInput("/dev/zero"), Failure);
#endif
}

TEST(VfsWriter, WritesOldLinesRootAndMergedEntriesWithCrLf) {
  ScratchTree t;
  TestPlatform platform;
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
    vfs.writeOldLine("old one");
    vfs.writeOldLine("");
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
  TestPlatform platform;
  t.file("out.vfs", "before\r\n");
  Settings s;
  s.WhereCreate = t / "links/";
  s.VFS = t / "out.vfs";
  {
    VfsWriter vfs(platform, s);
    for (int i = 0; i < 20000; ++i) vfs.writeOldLine("a long enough line to pass the write buffer");
    vfs.writeRootEntry();
  }
  EXPECT_EQ(t.read("out.vfs"), "before\r\n");
  EXPECT_EQ(t.tree(""), Lines{"out.vfs"});
}

}  // namespace
}  // namespace kelvane
