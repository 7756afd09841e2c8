#include "base/hidden_name.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kelvane {
namespace {

TEST(HiddenName, ANameStartingWithADotOtherThanTheFolderAndItsParent) {
  for (std::string_view name : {".a", "...", "..a", ".hidden.txt"}) {
    EXPECT_TRUE(isHiddenName(name)) << name;
    EXPECT_TRUE(isHiddenName(std::wstring(name.begin(), name.end()))) << name;
  }
  for (std::string_view name : {"", ".", "..", "a", "a.", "a.b"}) {
    EXPECT_FALSE(isHiddenName(name)) << name;
    EXPECT_FALSE(isHiddenName(std::wstring(name.begin(), name.end()))) << name;
  }
}

}  // namespace
}  // namespace kelvane
