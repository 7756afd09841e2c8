// A dry run prints each change once, as the build would pass it to the system, with nothing
// in a name able to start a line of its own, and counts the table's lines as multisets.

#include <sstream>

#include "tests/support/build_run_fixture.h"

namespace kelvane::testing {
namespace {

class DryRun : public BuildRun {
 public:
  std::string dryRun(std::initializer_list<std::string> mergeLines) {
    load(mergeLines);
    auto before = t.tree("");
    std::ostringstream out;
    runBuild(platform, state, &out);
    EXPECT_EQ(t.tree(""), before) << "the dry run changed something";
    return out.str();
  }
};

TEST_F(DryRun, PrintsEachChangeOnceAndCountsRepeatedLinesEachTime) {
  struct Case {
    const char* name;
    std::string table;  // the output table there now
    bool linkRoot;      // the link root is there, with a stale folder in it
    bool sameTable;
    std::string printed;  // "@" stands for the link root
    std::string old = "dup\r\nnew\r\n";
  } cases[] = {
      // A line the new table holds once is dropped once: "dup" twice there, once after.
      {"Rebuild", "dup\r\ndup\r\ngone\r\n", true, false,
       "remove @/stale\ncreate @/debian\nsummary: 1 to remove, 1 to create; table lines: 3 "
       "added, 2 dropped; conflicts: 0\n"},
      {"NoLinkRoot", "", false, false,
       "create @\ncreate @/debian\nsummary: 0 to remove, 2 to create; table lines: 4 added, 0 "
       "dropped; conflicts: 0\n"},
      // A line held once now and twice after is added once.
      {"OnceThenTwice", "dup\r\n", true, false,
       "remove @/stale\ncreate @/debian\nsummary: 1 to remove, 1 to create; table lines: 3 "
       "added, 0 dropped; conflicts: 0\n",
       "dup\r\ndup\r\n"},
      // A same-table build adds to the table and leaves what is in the link root.
      {"SameTable", "dup\r\nnew\r\n", true, true,
       "create @/debian\nsummary: 0 to remove, 1 to create; table lines: 1 added, 0 dropped; "
       "conflicts: 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    linkRoot = t / (std::string("links-") + c.name);
    vfs = t / (std::string("out/") + c.name + ".vfs");
    vfsOld = c.sameTable ? vfs : t / "old.vfs";
    t.folder("iso/debian");
    t.file("old.vfs", c.old);
    if (!c.table.empty()) t.file(std::string("out/") + c.name + ".vfs", c.table);
    if (c.linkRoot) t.folder(std::string("links-") + c.name + "/stale");
    std::string printed = native(c.printed);
    for (size_t at; (at = printed.find('@')) != std::string::npos;)
      printed.replace(at, 1, linkRoot);
    EXPECT_EQ(dryRun({t / "iso/"}), printed);
  }
}

#ifndef _WIN32  // Windows names hold no control characters
TEST_F(DryRun, ShowsControlBytesInNamesEscaped) {
  t.folder("links/old\nremove /etc");
  t.folder(std::string("iso/esc\x1b[2J\x7f"));
  t.folder("iso/tab\there");
  std::string printed = dryRun({t / "iso/"});
  EXPECT_NE(printed.find("remove " + linkRoot + "/old\\nremove /etc\n"), std::string::npos)
      << printed;
  EXPECT_NE(printed.find("create " + linkRoot + "/esc\\x1b[2J\\x7f\n"), std::string::npos)
      << printed;
  EXPECT_NE(printed.find("create " + linkRoot + "/tab\\there\n"), std::string::npos) << printed;
  EXPECT_EQ(printed.find('\x1b'), std::string::npos);
  // The build itself makes the folders under their own names.
  runBuild(platform, state);
  EXPECT_TRUE(t.isFolder("links/esc\x1b[2J\x7f"));
}
#endif

}  // namespace
}  // namespace kelvane::testing
