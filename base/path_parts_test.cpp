#include "base/path_parts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane {
namespace {

std::vector<std::string> partsOf(std::string_view path, std::string_view separators,
                                 bool keepDot = false) {
  std::vector<std::string> out;
  for (std::string_view part : pathParts(path, separators, keepDot)) out.emplace_back(part);
  return out;
}

using Parts = std::vector<std::string>;

TEST(PathParts, EmptyPartsAndDotNameNoLevelButDotDotStays) {
  EXPECT_EQ(partsOf("", "/"), Parts{});
  EXPECT_EQ(partsOf("/", "/"), Parts{});
  EXPECT_EQ(partsOf("a", "/"), Parts{"a"});
  EXPECT_EQ(partsOf("/a//b/", "/"), (Parts{"a", "b"}));
  EXPECT_EQ(partsOf("./a/./b/.", "/"), (Parts{"a", "b"}));
  EXPECT_EQ(partsOf("a/../b", "/"), (Parts{"a", "..", "b"}));
  EXPECT_EQ(partsOf(".a/..b/...", "/"), (Parts{".a", "..b", "..."}));  // names, not levels
  EXPECT_EQ(partsOf("./a/.", "/", true), (Parts{".", "a", "."}));
}

TEST(PathParts, EverySeparatorGivenSplitsAndNoOther) {
  EXPECT_EQ(partsOf("a\\b/c", "\\/"), (Parts{"a", "b", "c"}));
  EXPECT_EQ(partsOf("a\\b/c", "/"), (Parts{"a\\b", "c"}));
}

}  // namespace
}  // namespace kelvane
