#include "settings/settings.h"

#include <gtest/gtest.h>

#include "base/failure.h"
#include "settings/number_text.h"
#include "tests/support/sample_settings.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_platform.h"

namespace kelvane {
namespace {

using testing::sampleTexts;
using testing::TempFolder;
using testing::TestPlatform;

struct Loaded {
  Settings settings;
  std::string lines;
};

Loaded load(const std::string& bytes) {
  TempFolder dir;
  testing::writeBytes(dir / "s.dat", bytes);
  TestPlatform platform;
  Loaded loaded;
  readSettings(platform, dir / "s.dat", loaded.settings, loaded.lines);
  return loaded;
}

TEST(SettingsFile, WritesEveryBoxOnItsOwnLine) {
  EXPECT_EQ(formatSettings(sampleTexts()),
            "/srv/links/\r\n/srv/vfs.txt\r\n/srv/vfs.orig\r\n/merged\r\nanon\r\nusers\r\n755\r\n"
            "/data/iso/|linux\r\n/data/mp3/|music|rock\r\n");
}

TEST(SettingsFile, ReadsBackWhatItWrote) {
  Loaded loaded = load(formatSettings(sampleTexts()));
  const Settings& s = loaded.settings;
  EXPECT_EQ(s.WhereCreate, "/srv/links/");
  EXPECT_EQ(s.VFS, "/srv/vfs.txt");
  EXPECT_EQ(s.VFSold, "/srv/vfs.orig");
  EXPECT_EQ(s.VirtualR, "/merged");
  EXPECT_EQ(s.OwnU, "anon");
  EXPECT_EQ(s.OwnG, "users");
  EXPECT_EQ(s.CHMOD, 755.0f);
  ASSERT_EQ(s.sources.size(), 2u);
  EXPECT_EQ(s.sources[0].path, "/data/iso/");
  EXPECT_EQ(s.sources[0].genre, "linux");
  EXPECT_EQ(s.sources[1].path, "/data/mp3/");
  EXPECT_EQ(s.sources[1].genre, "music|rock");  // only the first "|" splits
  EXPECT_EQ(loaded.lines, sampleTexts().Lines);
}

TEST(SettingsFile, ValuesWithCommasOrOuterBlanksSurviveASaveAndLoad) {
  SettingsTexts t = sampleTexts();
  t.WhereCreate = "/srv/links,old/";
  t.OwnU = " anon ";
  t.Lines = "/data/a,b/|x, y\r\n  /data/c/";
  std::string bytes = formatSettings(t);
  EXPECT_NE(bytes.find("\"/srv/links,old/\"\r\n"), std::string::npos);
  Loaded loaded = load(bytes);
  EXPECT_EQ(loaded.settings.WhereCreate, "/srv/links,old/");
  EXPECT_EQ(loaded.settings.VFS, "/srv/vfs.txt");  // nothing shifted
  EXPECT_EQ(loaded.settings.OwnU, " anon ");
  ASSERT_EQ(loaded.settings.sources.size(), 2u);
  EXPECT_EQ(loaded.settings.sources[0].path, "/data/a,b/");
  EXPECT_EQ(loaded.settings.sources[0].genre, "x, y");
  EXPECT_EQ(loaded.settings.sources[1].path, "  /data/c/");
  EXPECT_EQ(loaded.lines, t.Lines);
}

TEST(SettingsFile, ALineBreakInsideAValueDoesNotShiftTheValuesAfterIt) {
  SettingsTexts t = sampleTexts();
  t.VirtualR = "/two\nlines";
  t.Lines = "/data/a\rb/|x\r\n/data/c/";  // a lone CR inside the first merge line
  Loaded loaded = load(formatSettings(t));
  EXPECT_EQ(loaded.settings.VirtualR, "/two\nlines");
  EXPECT_EQ(loaded.settings.OwnU, "anon");
  ASSERT_EQ(loaded.settings.sources.size(), 2u);
  EXPECT_EQ(loaded.settings.sources[0].path, "/data/a\rb/");
  EXPECT_EQ(loaded.lines, t.Lines);
}

TEST(SettingsFile, AHandWrittenCommaStillSplitsAndShiftsLaterValues) {
  TempFolder dir;
  testing::writeBytes(dir / "s.dat", "E:\\links,old\\\r\nvfs\r\nold\r\n/v\r\nu\r\ng\r\n7\r\n");
  TestPlatform platform;
  Settings settings;
  std::string lines;
  // "g" becomes the permission field, which is not a number.
  EXPECT_THROW(readSettings(platform, dir / "s.dat", settings, lines), Failure);
  EXPECT_EQ(settings.WhereCreate, "E:\\links");
  EXPECT_EQ(settings.VFS, "old\\");
  EXPECT_EQ(settings.OwnG, "u");
}

TEST(SettingsFile, ABoxEndingInALineBreakReadsBackWithOneEmptySource) {
  SettingsTexts t = sampleTexts();
  t.Lines = "/data/iso/|linux\r\n";
  std::string first = formatSettings(t);
  EXPECT_TRUE(first.ends_with("\r\n755\r\n/data/iso/|linux\r\n\r\n")) << first;
  Loaded loaded = load(first);
  ASSERT_EQ(loaded.settings.sources.size(), 2u);
  EXPECT_EQ(loaded.settings.sources[1].path, "");
  EXPECT_EQ(loaded.settings.sources[1].genre, "");
  EXPECT_EQ(loaded.lines, t.Lines);  // ends in a line break again
  t.Lines = loaded.lines;
  EXPECT_EQ(formatSettings(t), first);  // saving again changes nothing
}

TEST(SettingsFile, AnEmptyBoxReadsBackAsOneEmptySource) {
  SettingsTexts t = sampleTexts();
  t.Lines = "";
  Loaded loaded = load(formatSettings(t));
  ASSERT_EQ(loaded.settings.sources.size(), 1u);
  EXPECT_EQ(loaded.settings.sources[0].path, "");
  EXPECT_EQ(loaded.lines, "");
}

TEST(SettingsFile, MergeLinesWithoutOrStartingWithABar) {
  Loaded loaded = load("l\r\nv\r\no\r\nr\r\nu\r\ng\r\n1\r\n/data/iso/\r\n|genre\r\n");
  ASSERT_EQ(loaded.settings.sources.size(), 2u);
  EXPECT_EQ(loaded.settings.sources[0].path, "/data/iso/");
  EXPECT_EQ(loaded.settings.sources[0].genre, "");
  EXPECT_EQ(loaded.settings.sources[1].path, "");
  EXPECT_EQ(loaded.settings.sources[1].genre, "genre");
}

TEST(SettingsFile, AFileThatEndsEarlyFailsButKeepsWhatItRead) {
  TempFolder dir;
  testing::writeBytes(dir / "s.dat", "/srv/links/\r\n/srv/vfs\r\nold\r\n");
  TestPlatform platform;
  Settings settings;
  std::string lines;
  try {
    readSettings(platform, dir / "s.dat", settings, lines);
    FAIL() << "a truncated file was read";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), kErrInputPastEnd);
  }
  EXPECT_EQ(settings.WhereCreate, "/srv/links/");
  EXPECT_EQ(settings.VFSold, "old");
}

// A file that ends too early or holds no number for the mode says on which line, and what
// belongs there (its bytes as they are: the report escapes them where it shows them), and
// its fix names the line to correct. Beside each, the nearest file that loads.
TEST(SettingsFile, AFailureNamesTheLineAndWhatBelongsThere) {
  const std::string head = "l\r\nv\r\no\r\nr\r\nu\r\ng\r\n";
  struct Case {
    std::string bytes;
    int number;  // 0 when the file must load
    std::string says;
  } cases[] = {
      {"", kErrInputPastEnd, "line 1, the link root, is missing: a settings file holds seven"},
      {"/srv/links/\r\n/srv/vfs\r\nold\r\n", kErrInputPastEnd, "line 4, the virtual root,"},
      {"a,b\r\nc\r\n", kErrInputPastEnd, "line 3, the virtual root,"},
      {head.substr(0, head.size() - 2), kErrInputPastEnd, "line 7, the mode, is missing"},
      {head + "7\x1b[2J\x01\r\n", kErrTypeMismatch,
       "line 7, the mode: a number such as 755 was expected, and \"7\x1b[2J\x01\" is not a "
       "number"},
      {"\"l\r\nl\"\r\nv\r\no\r\nr\r\nu\r\ng\r\nX\r\n", kErrTypeMismatch, "line 8, the mode:"},
      {head + "1e60\r\n", kErrOverflow, "line 7, the mode: a number such as 755 was expected"},
      {head + "7", 0, ""},
      {head + "7\r\n/data/\r\n", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    Settings settings;
    std::string lines;
    try {
      parseSettings(c.bytes, "s.dat", settings, lines);
      EXPECT_EQ(c.number, 0);
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.number(), c.number);
      EXPECT_NE(failure.description().find("in the settings file \"s.dat\": " + c.says),
                std::string::npos)
          << failure.description();
      std::string line = c.says.substr(0, c.says.find(','));  // "line 7"
      EXPECT_EQ(failure.fix(), "Correct " + line +
                                   " of the settings file \"s.dat\" as the error description "
                                   "says (open it in a text editor)");
    }
  }
}

TEST(SettingsFile, AMissingFileFailsWithItsErrorNumberAndPath) {
  TempFolder dir;
  TestPlatform platform;
  Settings settings;
  std::string lines;
  try {
    readSettings(platform, dir / "none.dat", settings, lines);
    FAIL() << "a missing file was read";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), ENOENT);
    EXPECT_NE(failure.description().find(dir / "none.dat"), std::string::npos);
    EXPECT_NE(failure.description().find("a settings file holds seven values, one a line"),
              std::string::npos)
        << failure.description();
  }
  // A file that is there but cannot be read is not told what a settings file holds.
  testing::writeBytes(dir / "there.dat", "x\r\n");
  platform.faults.failOn(testing::Op::Read, 1, EIO);
  try {
    readSettings(platform, dir / "there.dat", settings, lines);
    FAIL() << "a failing read was read";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), EIO);
    EXPECT_EQ(failure.description().find("seven values"), std::string::npos)
        << failure.description();
  }
}

TEST(SettingsFile, ParsingBytesReadsWhatTheFileWouldAndNamesTheGivenName) {
  std::string bytes = formatSettings(sampleTexts());
  Settings parsed;
  std::string lines;
  parseSettings(bytes, "any.dat", parsed, lines);
  Loaded loaded = load(bytes);
  EXPECT_EQ(parsed.WhereCreate, loaded.settings.WhereCreate);
  EXPECT_EQ(parsed.OwnG, loaded.settings.OwnG);
  EXPECT_EQ(parsed.CHMOD, loaded.settings.CHMOD);
  ASSERT_EQ(parsed.sources.size(), loaded.settings.sources.size());
  EXPECT_EQ(parsed.sources[1].genre, loaded.settings.sources[1].genre);
  EXPECT_EQ(lines, loaded.lines);
  // A file saved by an editor that marks UTF-8 reads the same; a mark anywhere else is text.
  parseSettings("\xEF\xBB\xBF" + bytes, "any.dat", parsed, lines);
  EXPECT_EQ(parsed.WhereCreate, loaded.settings.WhereCreate);
  EXPECT_TRUE(parsed.textIsUtf8);
  parseSettings(" \xEF\xBB\xBF" + bytes, "any.dat", parsed, lines);
  EXPECT_EQ(parsed.WhereCreate, "\xEF\xBB\xBF" + loaded.settings.WhereCreate);
  SettingsTexts marked = sampleTexts();  // and such a link root survives a save
  marked.WhereCreate = parsed.WhereCreate;
  EXPECT_EQ(load(formatSettings(marked)).settings.WhereCreate, marked.WhereCreate);

  for (std::string_view bad :
       {std::string_view("l\r\nv\r\n"), std::string_view("l\nv\no\nr\nu\ng\nx\n")}) {
    try {
      parseSettings(bad, "given.dat", parsed, lines);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const Failure& failure) {
      EXPECT_NE(failure.description().find("\"given.dat\""), std::string::npos)
          << failure.description();
    }
  }
}

// The system reads a path only up to a NUL byte: a value holding one is refused, naming it.
TEST(SettingsFile, ANulByteInAnyValueFailsNamingTheValue) {
  using namespace std::string_literals;
  const std::string head = "l\r\nv\r\no\r\nr\r\nu\r\ng\r\n7\r\n";
  struct Case {
    std::string bytes;
    std::string names;  // "" when the file must load
  } cases[] = {
      {"/srv/li\0nks\r\n"s + head.substr(3), "line 1, the link root"},
      {"l\r\nv\r\no\r\nr\r\nan\0on\r\ng\r\n7\r\n"s, "line 5, the owner user"},
      {head + "/data/a|x\r\n/data/\0b|y\r\n"s, "line 9, merge line 2"},
      {head + "/data/a|ge\0nre\r\n"s, "line 8, merge line 1"},
      {head + "/data/\x01|\\0\r\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    Settings settings;
    std::string lines;
    try {
      parseSettings(c.bytes, "s.dat", settings, lines);
      EXPECT_EQ(c.names, "");
    } catch (const Failure& failure) {
      EXPECT_NE(c.names, "");
      EXPECT_NE(failure.description().find("NUL byte in the settings file \"s.dat\": " + c.names),
                std::string::npos)
          << failure.description();
    }
  }
}

float chmodOf(const std::string& field) {
  return load("l\r\nv\r\no\r\nr\r\nu\r\ng\r\n" + field + "\r\n").settings.CHMOD;
}

TEST(Permission, NumberFormsReadAndShowAsTheShortestText) {
  EXPECT_EQ(numberText(chmodOf("755")), "755");
  EXPECT_EQ(numberText(chmodOf("075")), "75");
  EXPECT_EQ(numberText(chmodOf("-1")), "-1");
  EXPECT_EQ(numberText(chmodOf("7.5")), "7.5");
  EXPECT_EQ(numberText(chmodOf("")), "0");
  EXPECT_EQ(numberText(chmodOf("  777 ")), "777");
  EXPECT_EQ(numberText(chmodOf("+1e2")), "100");
  EXPECT_EQ(numberText(chmodOf("100000")), "100000");
  EXPECT_EQ(numberText(chmodOf("1e7")), "1e+07");
  EXPECT_EQ(numberText(chmodOf("0.1")), "0.1");
  EXPECT_EQ(numberText(chmodOf("-0")), "0");
  EXPECT_EQ(numberText(chmodOf("1e-60")), "0");
}

TEST(Permission, TextThatIsNotANumberFails) {
  for (const char* text : {"CHMOD", "7,5", "0x1F", "1e", ".", "inf", "nan", "7 5", "12abc"}) {
    std::string field = text;
    if (field.find(',') != std::string::npos) field = "\"" + field + "\"";
    try {
      chmodOf(field);
      ADD_FAILURE() << "accepted " << text;
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.number(), kErrTypeMismatch) << text;
      EXPECT_NE(failure.description().find(text), std::string::npos) << text;
    }
  }
  try {
    chmodOf("1e60");
    ADD_FAILURE() << "accepted 1e60";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), kErrOverflow);
  }
}

}  // namespace
}  // namespace kelvane
