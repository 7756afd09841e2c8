#include "settings/field_reader.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/failure.h"

namespace kelvane {
namespace {

std::vector<std::string> allFields(std::string_view text) {
  FieldReader reader(text);
  std::vector<std::string> fields;
  while (!reader.atEnd()) fields.push_back(reader.next("test.dat"));
  return fields;
}

using Fields = std::vector<std::string>;

TEST(FieldReader, SplitsAtCommasAndLineEnds) {
  EXPECT_EQ(allFields("a,b\r\nc\r\n"), (Fields{"a", "b", "c"}));
  EXPECT_EQ(allFields("E:\\links,old\\\r\nnext\r\n"), (Fields{"E:\\links", "old\\", "next"}));
  // Plain LF and a lone CR end a line too.
  EXPECT_EQ(allFields("a\nb\rc"), (Fields{"a", "b", "c"}));
  // A comma at the end of a line leaves an empty field before the line end.
  EXPECT_EQ(allFields("a,\r\nb"), (Fields{"a", "", "b"}));
}

TEST(FieldReader, EmptyLinesAreEmptyFieldsAndTheLastLineNeedsNoLineEnd) {
  EXPECT_EQ(allFields("a\r\n\r\nb"), (Fields{"a", "", "b"}));
  EXPECT_EQ(allFields("a\r\n\r\n"), (Fields{"a", ""}));
  EXPECT_EQ(allFields("\r\n"), (Fields{""}));
  EXPECT_EQ(allFields(""), Fields{});
  EXPECT_EQ(allFields("last"), (Fields{"last"}));
}

TEST(FieldReader, QuotesAreDroppedAndProtectWhatTheyHold) {
  EXPECT_EQ(allFields("\"a,b\",c"), (Fields{"a,b", "c"}));
  EXPECT_EQ(allFields("say \"hi\" there\r\n"), (Fields{"say hi there"}));
  EXPECT_EQ(allFields("\"  padded  \"\r\n"), (Fields{"  padded  "}));
  EXPECT_EQ(allFields("\"\"\r\nx"), (Fields{"", "x"}));
  // A quote left open runs to the end of the file, line breaks included.
  EXPECT_EQ(allFields("\"open\r\nstill"), (Fields{"open\r\nstill"}));
}

TEST(FieldReader, BlanksAroundUnquotedFieldsAreDropped) {
  EXPECT_EQ(allFields("  a b \t,\tc  \r\n"), (Fields{"a b", "c"}));
  EXPECT_EQ(allFields("   \r\nx"), (Fields{"", "x"}));
  // Numbers keep their exact text: "075" is not turned into 75.
  EXPECT_EQ(allFields("075\r\n"), (Fields{"075"}));
}

TEST(FieldReader, ReadingPastTheEndFails) {
  FieldReader reader("one\r\n");
  EXPECT_EQ(reader.next("s.dat"), "one");
  EXPECT_TRUE(reader.atEnd());
  try {
    reader.next("s.dat");
    FAIL() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), kErrInputPastEnd);
    EXPECT_NE(failure.description().find("s.dat"), std::string::npos);
  }
}

}  // namespace
}  // namespace kelvane
