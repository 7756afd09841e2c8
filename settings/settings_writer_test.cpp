// The settings writer against the field reading rule: every text it saves reads back as it
// was, and a text the file cannot hold is refused before anything is written.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/failure.h"
#include "settings/settings.h"
#include "tests/support/sample_settings.h"

namespace kelvane {
namespace {

using namespace std::string_literals;
using testing::sampleTexts;

struct ReadBack {
  Settings settings;
  std::string lines;
};

ReadBack reload(const std::string& bytes) {
  ReadBack loaded;
  parseSettings(bytes, "s.dat", loaded.settings, loaded.lines);
  return loaded;
}

// The six texts and the box as they read back, to compare with what was saved.
void expectReadsBack(const SettingsTexts& saved) {
  ReadBack loaded = reload(formatSettings(saved));
  const Settings& s = loaded.settings;
  EXPECT_EQ(s.WhereCreate, saved.WhereCreate);
  EXPECT_EQ(s.VFS, saved.VFS);
  EXPECT_EQ(s.VFSold, saved.VFSold);
  EXPECT_EQ(s.VirtualR, saved.VirtualR);
  EXPECT_EQ(s.OwnU, saved.OwnU);
  EXPECT_EQ(s.OwnG, saved.OwnG);
  EXPECT_EQ(s.CHMOD, 755.0f) << "nothing shifted into the permission";
  EXPECT_EQ(loaded.lines, saved.Lines);
}

// One box's text: either it is saved and reads back as it was, or the save is refused with
// a reason naming the box. Each refusal has beside it the nearest text that must still save.
struct BoxCase {
  std::string SettingsTexts::*box;
  std::string text;
  std::string refusal;  // the start of the reason; "" when the text must save
};

TEST(SettingsWriter, SavesWhatReadsBackAndRefusesWhatCannot) {
  const std::string quote = "holds a double quote (\"), which the settings file cannot hold";
  const BoxCase cases[] = {
      // A comma, blanks and line breaks are saved in quotes and read back whole.
      {&SettingsTexts::OwnG, "a,b", ""},
      {&SettingsTexts::OwnG, " a ", ""},
      {&SettingsTexts::OwnG, "\ta,b \t", ""},
      {&SettingsTexts::VirtualR, "/two\r\nlines,", ""},
      {&SettingsTexts::WhereCreate, "\xEF\xBB\xBF/srv/links/", ""},
      {&SettingsTexts::OwnU, "O'Brien, 'the' user", ""},  // single quotes are plain text
      {&SettingsTexts::OwnU, "", ""},
      {&SettingsTexts::Lines, "/data/a,b/| x \r\n  /data/c/\r\n", ""},
      // A double quote never is: a pair is dropped, a single one takes in what follows.
      {&SettingsTexts::OwnG, "a,\"b\"", "The owner group box " + quote},
      {&SettingsTexts::OwnG, "a\"b", "The owner group box " + quote},
      {&SettingsTexts::OwnG, "say \"hi\"", "The owner group box " + quote},
      {&SettingsTexts::OwnG, " \"a\" ", "The owner group box " + quote},
      {&SettingsTexts::OwnG, "\"\"", "The owner group box " + quote},
      {&SettingsTexts::WhereCreate, "\"C:\\Program Files\\\"", "The link root box " + quote},
      {&SettingsTexts::VFS, "x\"", "The output VFS file box " + quote},
      {&SettingsTexts::VFSold, "\"x", "The input VFS file box " + quote},
      {&SettingsTexts::VirtualR, "/\"v\"", "The virtual root box " + quote},
      {&SettingsTexts::OwnU, "\"", "The owner user box " + quote},
      {&SettingsTexts::CHMOD, "\"755\"", "The permission (CHMOD) box " + quote},
      {&SettingsTexts::Lines, "/data/a/\r\n/data/\"b\"/|g",
       "Line 2 of the merge-source box " + quote},
      {&SettingsTexts::Lines, "/data/a/|\"g\"\r\n", "Line 1 of the merge-source box " + quote},
      // The reader refuses a NUL byte, so the writer does too.
      {&SettingsTexts::VirtualR, "/v\0x"s, "The virtual root box holds a NUL character"},
      {&SettingsTexts::Lines, "/a\r\n/b\0"s, "Line 2 of the merge-source box holds a NUL"},
  };
  for (const BoxCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    SettingsTexts texts = sampleTexts();
    texts.*c.box = c.text;
    std::string why = unsavableText(texts);
    if (c.refusal.empty()) {
      EXPECT_EQ(why, "");
      expectReadsBack(texts);
      continue;
    }
    EXPECT_TRUE(why.starts_with(c.refusal)) << why;
    EXPECT_NE(why.find("remove it"), std::string::npos) << why;
    try {
      formatSettings(texts);
      ADD_FAILURE() << "saved";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.number(), kErrRefused);
      EXPECT_EQ(failure.description(), why);
    }
  }
}

// The reader takes the mode as a number: a mode box it could not read back is refused, and
// the nearest texts that read are saved.
TEST(SettingsWriter, AModeTheReaderWouldRefuseIsRefusedNamingTheBox) {
  const std::pair<std::string, const char*> cases[] = {
      {"755A7B", "not a number"},
      {"CHMOD", "not a number"},
      {" 755", "not a number"},
      {"7,5", "not a number"},
      {"1e39", "too large"},
      {"\x1b", "not a number"},
      {"755", nullptr},
      {"", nullptr},
      {"-1", nullptr},
      {"7.5", nullptr},
      {"+1e5", nullptr},
      {"1e-50", nullptr},
  };
  for (const auto& [mode, problem] : cases) {
    SCOPED_TRACE(mode);
    SettingsTexts texts = sampleTexts();
    texts.CHMOD = mode;
    std::string why = unsavableText(texts);
    if (problem == nullptr) {
      EXPECT_EQ(why, "");
      EXPECT_NO_THROW(reload(formatSettings(texts)));
      continue;
    }
    EXPECT_TRUE(why.starts_with("The permission (CHMOD) box holds \"")) << why;
    EXPECT_NE(why.find(std::string("which is ") + problem + ": type a number such as 755"),
              std::string::npos)
        << why;
    EXPECT_THROW(formatSettings(texts), Failure);
  }
  SettingsTexts escaped = sampleTexts();
  escaped.CHMOD = "7\x1b[2J";
  EXPECT_NE(unsavableText(escaped).find("\"7\\x1b[2J\""), std::string::npos)
      << unsavableText(escaped);
}

TEST(SettingsWriter, TheFirstBoxAtFaultIsNamed) {
  SettingsTexts texts = sampleTexts();
  texts.OwnG = "\"g\"";
  texts.Lines = "\"l\"";
  texts.VFS = "\"v\"";
  EXPECT_TRUE(unsavableText(texts).starts_with("The output VFS file box")) << unsavableText(texts);
  EXPECT_EQ(unsavableText(sampleTexts()), "");
}

// Texts made of the characters that matter to the rule, in every mix: each is either
// refused, exactly when it holds a double quote or a NUL, or saved so that it reads back.
TEST(SettingsWriter, AnyMixOfCommasBlanksBreaksAndQuotesIsRefusedOrReadsBack) {
  const std::string alphabet = "a,,  \t\r\n|\xEF\xBB\xBF\xE9\"\0"s;
  std::mt19937 random(18);
  auto text = [&] {
    std::string out;
    for (int n = std::uniform_int_distribution<int>(0, 6)(random); n > 0; --n)
      out += alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(random)];
    return out;
  };
  int saved = 0, refused = 0;
  for (int i = 0; i < 3000; ++i) {
    SettingsTexts texts = sampleTexts();
    for (auto box : {&SettingsTexts::WhereCreate, &SettingsTexts::VFS, &SettingsTexts::VFSold,
                     &SettingsTexts::VirtualR, &SettingsTexts::OwnU, &SettingsTexts::OwnG})
      texts.*box = text();
    texts.Lines = text() + "\r\n" + text();
    bool cannot = false;
    std::string shown;
    for (const std::string* t : {&texts.WhereCreate, &texts.VFS, &texts.VFSold, &texts.VirtualR,
                                 &texts.OwnU, &texts.OwnG, &texts.Lines}) {
      cannot = cannot || t->find_first_of("\"\0"s) != std::string::npos;
      shown += ::testing::PrintToString(*t) + " ";
    }
    SCOPED_TRACE(shown);
    ASSERT_EQ(!unsavableText(texts).empty(), cannot);
    if (cannot) {
      ++refused;
      EXPECT_THROW(formatSettings(texts), Failure);
    } else {
      ++saved;
      expectReadsBack(texts);
      if (::testing::Test::HasFailure()) return;
    }
  }
  EXPECT_GT(saved, 100);
  EXPECT_GT(refused, 100);
}

}  // namespace
}  // namespace kelvane
