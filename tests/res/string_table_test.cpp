// Reading the string-table format: escapes, line endings, non-ASCII text,
// and damaged lines or bytes that must neither crash nor leak into others.

#include "res/string_table.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(StringTableFormat, ReadsIdsTextsAndEscapes) {
  const auto strings = ParseStringTable(
      "# comment\n"
      "\n"
      "1\tplain text\n"
      "7\tline one\\r\\nline two\\tend\\\\\n"
      "12\tkeeps \\q and a trailing backslash\\\n"
      "999999999\tlargest id\n");
  ASSERT_EQ(strings.size(), 4u);
  EXPECT_EQ(strings.at(1), L"plain text");
  EXPECT_EQ(strings.at(7), L"line one\r\nline two\tend\\");
  EXPECT_EQ(strings.at(12), L"keeps \\q and a trailing backslash\\");
  EXPECT_EQ(strings.at(999999999), L"largest id");
}

TEST(StringTableFormat, AcceptsCrLfAndAMissingFinalNewline) {
  const auto strings = ParseStringTable("1\tfirst\r\n2\t\r\n3\tlast");
  ASSERT_EQ(strings.size(), 3u);
  EXPECT_EQ(strings.at(1), L"first");
  EXPECT_EQ(strings.at(2), L"");
  EXPECT_EQ(strings.at(3), L"last");
}

TEST(StringTableFormat, DecodesUtf8ToWideCharacters) {
  const auto strings = ParseStringTable("1\tcaf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5\n");
  EXPECT_EQ(strings.at(1), L"caf\u00E9 \u20AC \U0001F3B5");
}

TEST(StringTableFormat, DamagedBytesBecomeReplacementCharacters) {
  const auto strings = ParseStringTable(
      "1\ta\xFF"
      "b\n"                         // a byte that never starts a sequence
      "2\t\xC0\xAF\n"               // an overlong slash
      "3\t\xED\xA0\x80\n"           // a UTF-16 surrogate
      "4\t\xE2\x82\n"               // cut short by the end of the line
      "5\tend\xF0\x9F");            // cut short by the end of the file
  EXPECT_EQ(strings.at(1), L"a\uFFFDb");
  EXPECT_EQ(strings.at(2), L"\uFFFD\uFFFD");
  EXPECT_EQ(strings.at(3), L"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(strings.at(4), L"\uFFFD\uFFFD");
  EXPECT_EQ(strings.at(5), L"end\uFFFD\uFFFD");
}

TEST(StringTableFormat, SkipsMalformedLinesAndKeepsTheRest) {
  const auto strings = ParseStringTable(
      "no tab here\n"
      "\tno id\n"
      "x1\tletters in the id\n"
      "-3\tnegative\n"
      "1234567890\tid too long to be a number we keep\n"
      "4\tgood\n"
      "4\tbetter\n"
      "5 \tspace before the tab\n");
  ASSERT_EQ(strings.size(), 1u);
  EXPECT_EQ(strings.at(4), L"better");
}

TEST(StringTableFormat, EmptyInputGivesNoStrings) {
  EXPECT_TRUE(ParseStringTable("").empty());
  EXPECT_TRUE(ParseStringTable("\n\r\n#only a comment").empty());
  EXPECT_TRUE(ParseStringTable("\0\0\0"s).empty());
}

}  // namespace
