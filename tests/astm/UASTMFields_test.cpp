// Field access, dates, grade texts and the image-name list.
#include <gtest/gtest.h>

#include <climits>

#include "astm/UASTMParser.h"
#include "platform/Clock.h"
#include "platform/Text.h"

namespace {

std::string DateText(TDateTime value) {
  return value == 0 ? "0" : platform::FormatDateTime("yyyy-mm-dd hh:nn:ss", value);
}

TEST(GetFieldTest, SplitsAtEveryDelimiterKeepingEmptyAndQuotedPieces) {
  struct {
    const char* line;
    int index;
    const char* expected;
  } cases[] = {
      {"H|\\^&|||x", 0, "H"},
      {"H|\\^&|||x", 1, "\\^&"},  // repeat and escape characters stay as they are
      {"H|\\^&|||x", 3, ""},
      {"H|\\^&|||x", 4, "x"},
      {"H|\\^&|||x", 5, ""},
      {"H|\\^&|||x", -1, ""},
      {"a||b", 1, ""},
      {"a||b", 2, "b"},
      {"|a", 0, ""},  // leading delimiter: first piece empty
      {"|a", 1, "a"},
      {"a|", 1, ""},  // trailing delimiter: last piece empty...
      {"a|", 2, ""},  // ...and nothing after it
      {"", 0, ""},
      {" a | b ", 1, " b "},  // blanks are ordinary characters
      {"O|\"x|y\"|z", 1, "x|y"},
      {"O|\"x|y\"|z", 2, "z"},
      {"O|\"say \"\"hi\"\"\"|z", 1, "say \"hi\""},
      {"O|\"\"|z", 1, ""},
      {"O|\"ab\"cd|e", 1, "abcd"},  // text after the closing quote stays in the piece
      {"O|\"ab\"cd|e", 2, "e"},
      {"O|\"open|rest", 1, "open|rest"},  // unclosed quote runs to the end
      {"O|\"open|rest", 2, ""},
      {"O|a\"b|c", 1, "a\"b"},  // a quote inside a piece is plain text
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetField(c.line, c.index), c.expected) << c.line << " #" << c.index;
  }
}

TEST(GetComponentTest, CountsFromOneWithTheSameRules) {
  struct {
    const char* field;
    int index;
    const char* expected;
  } cases[] = {
      {"A^B", 1, "A"},       {"A^B", 2, "B"},  {"A^B", 3, ""},      {"A^B", 0, ""},
      {"^", 1, ""},          {"^", 2, ""},     {"", 1, ""},         {"\"A^B\"^C", 1, "A^B"},
      {"\"A^B\"^C", 2, "C"}, {"A^^C", 3, "C"}, {"A|B^C", 1, "A|B"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetComponent(c.field, c.index), c.expected) << c.field << " #" << c.index;
  }
}

TEST(SplitASTMTextTest, GivesEveryPieceOnceAndStopsAtTheLimit) {
  EXPECT_TRUE(SplitASTMText("", '|').empty());
  EXPECT_EQ(SplitASTMText("|", '|'), (std::vector<std::string>{"", ""}));
  const std::string line = "O|1|\"a|b\"||x^y|";
  const std::vector<std::string> all = SplitASTMText(line, '|');
  ASSERT_EQ(all.size(), 6u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], GetField(line, static_cast<int>(i)));
  EXPECT_EQ(SplitASTMText(line, '|', 3), (std::vector<std::string>{"O", "1", "a|b"}));
  EXPECT_TRUE(SplitASTMText(line, '|', 0).empty());
}

TEST(ASTMDateToDateTimeTest, AcceptsRealDatesOnly) {
  struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"20240229", "2024-02-29 00:00:00"},
      {"20230229", "0"},
      {"2024022912", "2024-02-29 00:00:00"},
      {"202402291230", "2024-02-29 00:00:00"},
      {"20240229123045", "2024-02-29 12:30:45"},
      {"20240229123045999", "2024-02-29 12:30:45"},
      {"18991231", "0"},
      {"19000101", "1900-01-01 00:00:00"},
      {"21001231", "2100-12-31 00:00:00"},
      {"21010101", "0"},
      {"2024022", "0"},
      {"", "0"},
      {"20241301", "0"},
      {"20240100", "0"},
      {"20240431", "0"},
      {"20240229240000", "0"},
      {"20240229126000", "0"},
      {"20240229ab3045", "2024-02-29 00:30:45"},
      {"2024-02-29", "0"},
      {"+0240229", "0"},
      {"2024\xC3\xA9"
       "0229",
       "0"},
      {"20240229\xC3\xA9"
       "23045",
       "2024-02-29 00:30:45"},
  };
  for (const auto& c : cases) EXPECT_EQ(DateText(ASTMDateToDateTime(c.text)), c.expected) << c.text;
}

TEST(GradeTest, TextsOfKnownAndUnknownCodes) {
  struct {
    int grade;
    const char* text;
  } cases[] = {
      {GRADE_0, "0"},
      {GRADE_WEAK, "(+)"},
      {GRADE_4PLUS, "4+"},
      {GRADE_BUBBLE, "ERR:Bulle"},
      {GRADE_WELL_FLUID, "ERR:Fluid"},
      {GRADE_WELL_NOT_FOUND, "ERR:Puit"},
      {7, "7"},
      {15, "15"},
      {-1, "ERR:-1"},
      {-150, "ERR:-150"},
      {INT_MIN, "ERR:-2147483648"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GradeToStr(c.grade), c.text) << c.grade;
    EXPECT_EQ(IsGradeError(c.grade), c.grade < 0) << c.grade;
  }
}

TEST(TUniqueStringListTest, SortedWithoutDuplicatesIgnoringCase) {
  TUniqueStringList list;
  for (const char* name : {"b.jpg", "A.JPG", "a.jpg", "B.JPG", "c.jpg", "b.jpg"}) list.Add(name);
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"A.JPG", "b.jpg", "c.jpg"}));
  EXPECT_TRUE(list.Contains("C.JPG"));
  EXPECT_FALSE(list.Contains("d.jpg"));
  list.Add("0.jpg");  // a change after a read shows in the next read
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list[0], "0.jpg");

  // Names arriving in falling order still end sorted (and quickly).
  TUniqueStringList many;
  for (int i = 99999; i >= 0; --i) many.Add(platform::Format("img%05d.jpg", i));
  ASSERT_EQ(many.Count(), 100000);
  EXPECT_EQ(many[0], "img00000.jpg");
  EXPECT_EQ(many[99999], "img99999.jpg");
}

TEST(FreeASTMMessageTest, EmptiesOrdersAndImages) {
  TASTMMessage msg;
  msg.Orders.resize(2);
  msg.UniqueImages.Add("a.jpg");
  FreeASTMMessage(msg);
  EXPECT_EQ(msg.OrderCount(), 0);
  EXPECT_EQ(msg.UniqueImages.Count(), 0);
  EXPECT_TRUE(msg.UniqueImages.Items().empty());
}

}  // namespace
