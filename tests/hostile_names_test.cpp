// Folder names a user or an attacker could leave in a source or under the link root. The
// table never gains a field or a line, nothing is created outside the link root, and names
// that cannot be written into the table are passed over.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "startup/run_program.h"
#include "tests/support/build_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane::testing {
namespace {

const std::string kLongName(255, 'n');

#ifdef _WIN32
// Windows names hold no "\", "|", CR or LF and end in no blank; they are Unicode, which the
// table takes in UTF-8.
std::vector<std::string> writableNames() {
  return {"-rf", "\xc3\xbf\xc3\xbe latin", kLongName, "a b"};
}
std::vector<std::string> unwritableNames() { return {}; }
#else
std::vector<std::string> writableNames() {
  return {"back\\slash", "-rf", "\xff\xfe latin", kLongName, " ", "a b", "ends with blank "};
}
std::vector<std::string> unwritableNames() { return {"a|b", "cr\r", "lf\nline"}; }
#endif

std::vector<std::string> lines(const std::string& table) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t end; (end = table.find("\r\n", at)) != std::string::npos; at = end + 2)
    out.push_back(table.substr(at, end - at));
  EXPECT_EQ(at, table.size()) << "the table does not end in CR LF";
  return out;
}

TEST(HostileNames, OnlyWritableNamesBecomeEntriesAndMirrorFolders) {
  BuildTree tree;
  std::string source = tree.dir / "src/iso/";
  for (const auto& name : writableNames()) makeFolders(source + name);
  for (const auto& name : unwritableNames()) makeFolders(source + name);
  makeFolders(source + "...");  // hidden: starts with "."
  // The old mirror holds the same names; all of them go.
  for (const auto& name : writableNames()) makeFolders(tree.dir / ("links/" + name + "/x"));
  for (const auto& name : unwritableNames()) makeFolders(tree.dir / ("links/" + name));
  auto outsideBefore = BuildTree::snapshot(tree.outside);

  TestPlatform platform;
  platform.processes.programFolderOverride = tree.dir / "program";
  ASSERT_EQ(runProgram(platform, "?" + tree.settingsPath()), 0);

  auto table = lines(tree.outputBytes());
  for (const auto& line : table) EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 13) << line;
  std::set<std::string> mirrored;
  for (const auto& entry : BuildTree::snapshot(tree.dir / "links/linux"))
    mirrored.insert(entry.first.substr(tree.linkRoot.size() + 7));
  for (const auto& name : writableNames()) {
    EXPECT_TRUE(mirrored.count(name)) << name;
    std::string entry = source + name + "|/merged/linux/" + name + "|anon|users|755|";
    EXPECT_TRUE(std::any_of(table.begin(), table.end(), [&](const std::string& l) {
      return l.rfind(entry, 0) == 0;
    })) << name;
  }
  for (const auto& name : unwritableNames()) EXPECT_FALSE(mirrored.count(name)) << name;
  EXPECT_FALSE(mirrored.count("..."));
  // Old table, root entry, and: debian, gentoo, arch, jazz, rock and the writable names.
  EXPECT_EQ(table.size(), 2 + 5 + writableNames().size());
  EXPECT_EQ(BuildTree::snapshot(tree.outside), outsideBefore);
  // Nothing new beside the link root: the top folder holds what it held.
  std::set<std::string> top;
  for (const auto& entry : systemFiles().listFolder(tree.dir / "")) top.insert(entry.name);
  EXPECT_EQ(top, (std::set<std::string>{".", "..", "build.dat", "links", "out", "outside", "src",
                                        "vfs-old.txt"}));
}

}  // namespace
}  // namespace kelvane::testing
