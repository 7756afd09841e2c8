// The entries a build adds are written in the encoding of what they join: UTF-8 when the
// settings file and the old table both are, else the system's local encoding (played by the
// fake platform as Latin-1), where a folder name that encoding cannot hold is passed over.
#include <gtest/gtest.h>

#include <set>

#include "startup/run_program.h"
#include "tests/support/scratch_tree.h"
#include "tests/support/test_platform.h"

namespace kelvane::testing {
namespace {

std::multiset<std::string> tableLines(const std::string& table) {
  std::multiset<std::string> lines;
  for (size_t at = 0, end; (end = table.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.insert(table.substr(at, end - at + 2));
  return lines;
}

// A source folder whose own name is not ASCII, so that the settings' encoding matters.
struct EncodingTree : ScratchTree {
  // linesUtf8: the merge line is UTF-8, else Latin-1; the group goes into the file as it is.
  EncodingTree(bool linesUtf8, const std::string& oldLine, const std::string& virtualRoot,
               const std::string& group = "g") {
    for (const char* name : {"plain", "\xC3\x9Cn\xC3\xAF", "\xE6\x97\xA5"})  // Ünï, 日
      folder("src\xC3\xA9/" + std::string(name));
    folder("links/stale");
    folder("prog");
    file("old.vfs", oldLine + "\r\n");
    file("build.dat", settingsText({*this / "links", *this / "out.vfs", *this / "old.vfs",
                                    virtualRoot, "u", group, "755"},
                                   {*this / (linesUtf8 ? "src\xC3\xA9/" : "src\xE9/")}));
    platform.files.latin1LocalText = true;
    platform.processes.programFolderOverride = *this / "prog";
  }
  int build() { return runProgram(platform, "?" + (*this / "build.dat")); }
  TestPlatform platform;
};

struct EncodingCase {
  const char* name;
  bool linesUtf8;  // else Latin-1
  const char* oldLine;
  bool entriesUtf8;
  const char* group = "g";
};

class EntryEncodingTest : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(EntryEncodingTest, NewEntriesFollowTheSettingsAndTheOldTable) {
  const EncodingCase& c = GetParam();
  EncodingTree t(c.linesUtf8, c.oldLine, "/m", c.group);
  ASSERT_EQ(t.build(), 0);

  std::string source = c.entriesUtf8 ? t / "src\xC3\xA9/" : t / "src\xE9/";
  std::string unicode = c.entriesUtf8 ? "\xC3\x9Cn\xC3\xAF" : "\xDCn\xEF";
  std::string owners = "u|" + std::string(c.group) + "|755";
  std::multiset<std::string> expected = {std::string(c.oldLine) + "\r\n",
                                         vfsLine(t / "links", "/m", owners),
                                         vfsLine(source + "plain", "/m/plain", owners),
                                         vfsLine(source + unicode, "/m/" + unicode, owners)};
  std::vector<std::string> mirror = {"plain/", "\xC3\x9Cn\xC3\xAF/"};
  if (c.entriesUtf8) {
    expected.insert(vfsLine(source + "\xE6\x97\xA5", "/m/\xE6\x97\xA5", owners));
    mirror.push_back("\xE6\x97\xA5/");
  }
  EXPECT_EQ(tableLines(t.read("out.vfs")), expected);
  EXPECT_EQ(t.tree("links"), mirror);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, EntryEncodingTest,
    ::testing::Values(EncodingCase{"BothUtf8", true, "a|/a", true},
                      EncodingCase{"OldTableUtf8BeyondAscii", true, "caf\xC3\xA9|/caf\xC3\xA9",
                                   true},
                      EncodingCase{"OldTableLocal", true, "caf\xE9|/caf\xE9", false},
                      EncodingCase{"SettingsLocal", false, "a|/a", false},
                      // A file with one value in Latin-1 beside a UTF-8 merge line, as the
                      // window saves one where only that box was typed into.
                      EncodingCase{"OneValueLocal", true, "a|/a", false, "gr\xFCn"},
                      EncodingCase{"BothLocal", false, "caf\xE9|/caf\xE9", false}),
    [](const auto& info) { return std::string(info.param.name); });

// A setting that goes into every entry cannot be passed over like a name: the build is
// refused before anything is removed, unless the local encoding holds it.
TEST(EntryEncoding, ASettingTheLocalEncodingCannotHoldIsRefusedBeforeAnythingIsRemoved) {
  EncodingTree refused(true, "caf\xE9|/caf\xE9", "/\xE6\x97\xA5");
  refused.file("out.vfs", "before\r\n");
  EXPECT_EQ(refused.build(), 1);
  EXPECT_EQ(refused.read("out.vfs"), "before\r\n");
  EXPECT_TRUE(refused.has("links/stale"));
  EXPECT_NE(refused.read("prog/kelvaneerrors.txt").find("virtual root \"/\xE6\x97\xA5\""),
            std::string::npos);

  EncodingTree held(true, "caf\xE9|/caf\xE9", "/\xC3\x9C");
  ASSERT_EQ(held.build(), 0);
  EXPECT_NE(held.read("out.vfs").find("|/\xDC/plain|"), std::string::npos);
}

}  // namespace
}  // namespace kelvane::testing
