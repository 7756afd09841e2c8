#include "engine/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kelvane {
namespace {

// A genre's mirror folders are its names in byte order, each once, whatever they share:
// names alike in their first eight bytes, one the start of another, bytes above 127; and
// each row knows where its name went.
TEST(Layout, MirrorsAreTheNamesInByteOrderEachOnce) {
  std::vector<std::string> names = {
      "abcdefgh", "abcdefghi", "ab",       "abcdefgh\x01", "\xc3\xa9t\xc3\xa9",
      "Z",        "abcdefgg~", "a",        "ab",           "z",
      "\x7f",     "abcdefgh",  "\xc3\x80", "\xe2\x82\xac", "\xc3",
      "\xc3\xa9"};
  DirTable table;
  table.beginCall("/src/one/", "music", '/');
  for (size_t i = 0; i < 6; ++i) table.add(names[i]);
  table.beginCall("/src/two/", "music", '/');
  for (size_t i = 6; i < names.size(); ++i) table.add(names[i]);
  Layout layout(table, "/");
  Layout::Node* music = layout.findNode("music");
  ASSERT_NE(music, nullptr);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  EXPECT_EQ(std::vector<std::string>(music->mirrors.begin(), music->mirrors.end()), names);
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(music->mirrorIndex(names[i]), long(i));
  EXPECT_EQ(music->mirrorIndex("abcdefg"), -1);
  // Each row, repeats too, knows where its name went.
  for (size_t row = 1; row <= table.count(); ++row)
    EXPECT_EQ(long(layout.mirrorOfRow(row)), music->mirrorIndex(table.names(row))) << row;
}

}  // namespace
}  // namespace kelvane
