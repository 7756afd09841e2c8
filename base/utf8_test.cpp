#include "base/utf8.h"

#include <gtest/gtest.h>

#include "base/windows_1252.h"

namespace kelvane {
namespace {

TEST(Utf8, WellFormedTextIsUtf8AndEveryMalformedSequenceIsNot) {
  for (std::string_view text :
       {"", "plain ascii", "caf\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",
        "\xED\x9F\xBF", "1234567\xC3\xA9 and sixteen more", "sixteen bytes ok\xE6\x97\xA5"})
    EXPECT_TRUE(isUtf8(text)) << text;
  for (std::string_view text :
       {"caf\xE9", "\xC3", "ab\xE6\x97", "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80",
        "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xC3\x28", "\x80",
        "sixteen bytes ok\xE9 and plain again", "1234567\xC3"})
    EXPECT_FALSE(isUtf8(text)) << text;
}

TEST(Windows1252, EveryByteReadsAsItsCharacterAndIsWrittenBackAsTheSameByte) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
  std::string text = fromWindows1252(all);
  EXPECT_TRUE(isUtf8(text));
  EXPECT_EQ(toWindows1252(text), all) << "the five undefined bytes too";
  // The characters of 0x80 to 0x9F are the code page's, not Latin-1's controls.
  EXPECT_EQ(fromWindows1252("\x80\x8a\x99\x9f"), "\u20ac\u0160\u2122\u0178");
  EXPECT_EQ(fromWindows1252("j\xf6rg\x81"), "j\u00f6rg\u0081");
  EXPECT_EQ(fromWindows1252("\xa0\xff"), "\u00a0\u00ff");
  // Characters it has no byte for, and text that is no UTF-8, have no bytes.
  for (std::string_view lacking : {"\u0100", "\u20ad", "a\U0001F600", "\u4e2d", "caf\xe9"})
    EXPECT_EQ(toWindows1252(lacking), std::nullopt) << lacking;
  EXPECT_EQ(toWindows1252("\u20ac\u00e9 ok"), "\x80\xe9 ok");
}

}  // namespace
}  // namespace kelvane
