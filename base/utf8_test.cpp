#include "base/utf8.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(Utf8, WellFormedTextIsUtf8AndEveryMalformedSequenceIsNot) {
  for (std::string_view text : {"", "plain ascii", "caf\xC3\xA9", "\xE6\x97\xA5",
                                "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF"})
    EXPECT_TRUE(isUtf8(text)) << text;
  for (std::string_view text :
       {"caf\xE9", "\xC3", "ab\xE6\x97", "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80",
        "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xC3\x28", "\x80"})
    EXPECT_FALSE(isUtf8(text)) << text;
}

}  // namespace
}  // namespace kelvane
