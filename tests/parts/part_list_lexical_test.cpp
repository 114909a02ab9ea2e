// The tag scanner, attribute lookup, number reading and line joining of the part list reader.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "parts/part_list_reader.h"

namespace bq {
namespace {

TEST(JoinPartListLines, DropsLfAndCrLfOnlyAndKeepsAnUnterminatedLastLine) {
  struct Case {
    std::string raw;
    std::string joined;
  };
  const std::vector<Case> cases = {
      {"a\nb", "ab"},          {"a\r\nb\r\n", "ab"},  {"a\rb", "a\rb"},
      {"a\r", "a\r"},          {"a\r\r\n", "a\r"},    {"\n\n\r\n", ""},
      {"  <A>\n  <B>", "  <A>  <B>"},                  {std::string("x\0y\n", 4), std::string("x\0y", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(JoinPartListLines(c.raw), c.joined) << c.raw;
}

TEST(NextTag, TakesTagsFromTheFrontAndSplitsAtTheFirstSpace) {
  std::string_view content = R"(text <  avrPart  name="X"  > between <LOW/><a	b="1"></x y>rest)";
  struct Expected {
    std::string name;
    std::string attributes;
  };
  const std::vector<Expected> expected = {
      {"AVRPART", R"(name="X")"}, {"LOW/", ""}, {"A\tB=\"1\"", ""}, {"/X", "y"}};
  for (const Expected& e : expected) {
    const PartListTag tag = NextTag(content);
    EXPECT_EQ(tag.name, e.name);
    EXPECT_EQ(tag.attributes, e.attributes);
  }
  EXPECT_EQ(content, "rest");
  EXPECT_EQ(NextTag(content).name, "");
  EXPECT_TRUE(content.empty());
}

TEST(NextTag, AGreaterThanInsideQuotesEndsTheTag) {
  std::string_view content = R"(<ENUM text="a>b" val="1"><NEXT>)";
  const PartListTag tag = NextTag(content);
  EXPECT_EQ(tag.name, "ENUM");
  EXPECT_EQ(tag.attributes, R"(text="a)");
  EXPECT_EQ(content, R"(b" val="1"><NEXT>)");
}

TEST(NextTag, AnUnclosedTagEmptiesTheContent) {
  std::string_view content = R"(<A><B x="1")";
  EXPECT_EQ(NextTag(content).name, "A");
  const PartListTag tag = NextTag(content);
  EXPECT_EQ(tag.name, "");
  EXPECT_EQ(tag.attributes, "");
  EXPECT_TRUE(content.empty());
}

TEST(GetAttribute, FindsTheFirstOccurrenceOfTheNameAnywhere) {
  struct Case {
    std::string attributes;
    std::string name;
    std::string value;
  };
  const std::vector<Case> cases = {
      {R"(name="X" signature="0x1E9502")", "signature", "0x1E9502"},
      {R"(NAME="MixedCase")", "name", "MixedCase"},  // names ignore case, values keep it
      {R"(name "X")", "name", "X"},                  // no '=' needed
      {R"(name=  "  X  " )", "name", "X"},           // blanks inside quotes trimmed
      {R"(name="X)", "name", ""},                    // closing quote missing
      {R"(name=X)", "name", ""},                     // no quotes at all
      {R"(text="Y")", "name", ""},                   // absent
      {R"(surname="S" name="N")", "name", "S"},      // first occurrence wins
      {R"(text="interval" val="3")", "val", "val="},  // val inside the text's word
      {R"(val="3" text="interval")", "val", "3"},
      {R"(name="")", "name", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetAttribute(c.attributes, c.name), c.value) << c.attributes << " / " << c.name;
  }
}

TEST(ParseNumber, DetectsTheBaseAndReadsUpToTheFirstNonDigit) {
  struct Case {
    std::string text;
    std::uint32_t value;
  };
  const std::vector<Case> cases = {
      {"12abc", 12},        {"0x1F", 31},          {"0X1f", 31},         {"017", 15},
      {"08", 0},            {"0", 0},              {"  42", 42},         {"+7", 7},
      {"-1", 0xFFFFFFFFu},  {"-0x10", 0xFFFFFFF0u}, {"0x1E9999", 0x1E9999}, {"12345678", 12345678},
      {"4294967295", 0xFFFFFFFFu}, {"0xFFFFFFFF", 0xFFFFFFFFu}, {"0x00000000001", 1},
      {"-4294967295", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseNumber(c.text), c.value) << c.text;
}

TEST(ParseNumber, UnreadableNumbersAreZero) {
  for (const char* text : {"", "   ", "abc", "x12", "- 5", "+-5", "0x", "0xg", "4294967296",
                           "0x100000000", "-4294967296", "99999999999999999999999"}) {
    EXPECT_EQ(ParseNumber(text), 0u) << text;
  }
}

}  // namespace
}  // namespace bq
