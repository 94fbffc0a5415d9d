// Splitting, dates, grade texts and the image-name list.
#include <gtest/gtest.h>

#include <climits>

#include "astm/UASTMParser.h"
#include "platform/Clock.h"
#include "platform/Text.h"

namespace {

std::string DateText(TDateTime value) {
  return value == 0 ? "0" : platform::FormatDateTime("yyyy-mm-dd hh:nn:ss", value);
}

TEST(SplitASTMTextTest, SplitsAtEveryDelimiterKeepingEmptyAndQuotedPieces) {
  using TPieces = std::vector<std::string>;
  struct {
    const char* text;
    char delim;
    TPieces expected;
  } cases[] = {
      // Repeat and escape characters stay as they are.
      {"H|\\^&|||x", '|', {"H", "\\^&", "", "", "x"}},
      {"a||b", '|', {"a", "", "b"}},
      {"|a", '|', {"", "a"}},  // leading delimiter: first piece empty
      {"a|", '|', {"a", ""}},  // trailing delimiter: last piece empty, nothing after it
      {"", '|', {}},
      {" a | b ", '|', {" a ", " b "}},  // blanks are ordinary characters
      {"O|\"x|y\"|z", '|', {"O", "x|y", "z"}},
      {"O|\"say \"\"hi\"\"\"|z", '|', {"O", "say \"hi\"", "z"}},
      {"O|\"\"|z", '|', {"O", "", "z"}},
      // Text after the closing quote stays in the piece.
      {"O|\"ab\"cd|e", '|', {"O", "abcd", "e"}},
      {"O|\"open|rest", '|', {"O", "open|rest"}},  // unclosed quote runs to the end
      {"O|a\"b|c", '|', {"O", "a\"b", "c"}},       // a quote inside a piece is plain text
      // Components, by the same rules.
      {"A^B", '^', {"A", "B"}},
      {"^", '^', {"", ""}},
      {"\"A^B\"^C", '^', {"A^B", "C"}},
      {"A^^C", '^', {"A", "", "C"}},
      {"A|B^C", '^', {"A|B", "C"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitASTMText(c.text, c.delim), c.expected) << c.text;
}

TEST(SplitASTMTextTest, GivesEveryPieceOnceAndStopsAtTheLimit) {
  EXPECT_TRUE(SplitASTMText("", '|').empty());
  EXPECT_EQ(SplitASTMText("|", '|'), (std::vector<std::string>{"", ""}));
  const std::string line = "O|1|\"a|b\"||x^y|";
  const std::vector<std::string> all = SplitASTMText(line, '|');
  ASSERT_EQ(all.size(), 6u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(SplitASTMText(line, '|', i + 1).back(), all[i]);
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
  list.Add("0.jpg");  // a change after a read shows in the next read
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Items()[0], "0.jpg");

  // Names arriving in falling order still end sorted (and quickly).
  TUniqueStringList many;
  for (int i = 99999; i >= 0; --i) many.Add(platform::Format("img%05d.jpg", i));
  ASSERT_EQ(many.Count(), 100000);
  EXPECT_EQ(many.Items()[0], "img00000.jpg");
  EXPECT_EQ(many.Items()[99999], "img99999.jpg");
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
