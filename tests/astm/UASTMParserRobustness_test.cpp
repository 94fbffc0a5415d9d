// The parser on damaged and hostile input: truncations, corrupted bytes,
// huge lines, garbage, many records, numbers too large. Parsed from memory
// with the logger off (its calls are no-ops then).
#include <gtest/gtest.h>

#include <random>

#include "astm/ASTMSamples.h"
#include "astm/UASTMParser.h"
#include "platform/Text.h"

using namespace astm_samples;

namespace {

// What must hold for any input, whatever the verdict.
void ExpectConsistent(const TASTMMessage& msg, const std::string& what) {
  EXPECT_EQ(msg.IsValid, msg.ParseError.empty()) << what;
  EXPECT_EQ(msg.IsValid, msg.OrderCount() > 0) << what;
  const auto& images = msg.UniqueImages.Items();
  for (size_t i = 1; i < images.size(); ++i) {
    EXPECT_LT(platform::CompareTextAscii(images[i - 1], images[i]), 0) << what;
  }
}

bool Parse(const std::string& bytes, TASTMMessage& msg) {
  const bool ok = ParseASTMBytes(bytes, "x.tra", msg);
  ExpectConsistent(msg, bytes.substr(0, 200));
  return ok;
}

std::string Sample() {
  std::vector<std::string> lines = SampleLines();
  lines.insert(lines.begin() + 2, Order("QC1", "\"quoted|test\""));
  return Join(lines);
}

TEST(ASTMParserRobustnessTest, EveryPrefixOfASampleFile) {
  const std::string sample = Sample();
  for (size_t n = 0; n <= sample.size(); ++n) {
    TASTMMessage msg;
    const bool ok = Parse(sample.substr(0, n), msg);
    // Valid as soon as the first O line is complete enough to be dispatched.
    EXPECT_EQ(ok, sample.substr(0, n).find("\nO") != std::string::npos) << n;
  }
}

TEST(ASTMParserRobustnessTest, EveryByteCorrupted) {
  const std::string sample = Sample();
  for (size_t i = 0; i < sample.size(); ++i) {
    for (char bad : {'|', '^', '"', '\r', '\0', '\xC3', '\xFF'}) {
      std::string damaged = sample;
      damaged[i] = bad;
      TASTMMessage msg;
      Parse(damaged, msg);
    }
  }
}

TEST(ASTMParserRobustnessTest, CorruptedDelimitersStayInTheirRecord) {
  TASTMMessage msg;
  // An M line whose fields were cut with "^": no "|", an unknown record type.
  std::string m = M("Anti-A", 1, "col1.jpg");
  for (char& c : m) c = c == '|' ? '^' : c;
  ASSERT_TRUE(Parse(Join({Header(), Order("S1"), Result("A"), m, End()}), msg));
  EXPECT_EQ(msg.Orders[0].RRecords[0].MCount(), 0);

  // A cassette field short of components: the missing ones are empty.
  ASSERT_TRUE(Parse(Join({Header(), Order("S1"), Result("A"), "M|1|A|ABO-D^x|B|", End()}), msg));
  const TMRecord& well = msg.Orders[0].RRecords[0].MRecords.at(0);
  EXPECT_EQ(well.WellNr, 0);
  EXPECT_EQ(well.CassetteID, "");
  EXPECT_EQ(well.ColorImageFile, "");
  EXPECT_EQ(well.Grade, 0);
  EXPECT_EQ(msg.UniqueImages.Count(), 0);

  // An unclosed quote swallows the rest of its line, and only that line.
  ASSERT_TRUE(Parse(Join({Header(), "O|1|\"S1|x|TEST", Order("S2")}), msg));
  ASSERT_EQ(msg.OrderCount(), 2);
  EXPECT_EQ(msg.Orders[0].SampleID, "S1|x|TEST");
  EXPECT_EQ(msg.Orders[0].TestName, "");
  EXPECT_EQ(msg.Orders[1].SampleID, "S2");
}

TEST(ASTMParserRobustnessTest, HugeLinesGarbageAndFramingOnly) {
  TASTMMessage msg;
  const std::string big(8 << 20, 'x');
  EXPECT_FALSE(Parse(big, msg));
  EXPECT_FALSE(Parse("H|" + big, msg));
  EXPECT_EQ(msg.ParseError, "Aucun segment O trouvé dans le fichier");
  ASSERT_TRUE(Parse("H|\nO|1|" + std::string(8 << 20, '|') + "\nO|" + big + "^" + big, msg));
  EXPECT_EQ(msg.OrderCount(), 2);
  EXPECT_TRUE(Parse("H|\nO|1|S\nR|1\nM|1|A|" + std::string(8 << 20, '^') + "|\"" + big, msg));

  EXPECT_FALSE(Parse("\x02\x03\x04\x05\x17\r\n\x02\x03\x1C\x1D", msg));
  EXPECT_EQ(msg.ParseError, "Segment H manquant en début de fichier");

  std::mt19937 random(1234);
  for (int round = 0; round < 50; ++round) {
    std::string garbage(65536, '\0');
    for (char& c : garbage) c = static_cast<char>(random());
    Parse(garbage, msg);
    Parse("H|\r\n" + garbage, msg);
  }
}

TEST(ASTMParserRobustnessTest, AMillionWellLines) {
  std::string text = Join({Header(), Order("S1"), Result("A")});
  text.reserve(48 << 20);
  for (int i = 0; i < 1000000; ++i) {
    text += "M|";
    text += std::to_string(i);
    if (i % 1000 == 0)
      text += "|R|C^1^ID^L^20250101^^img" + std::to_string(999 - i / 1000) + ".jpg";
    text += "\r\n";
  }
  TASTMMessage msg;
  ASSERT_TRUE(Parse(text, msg));
  ASSERT_EQ(msg.Orders[0].RCount(), 1);
  EXPECT_EQ(msg.Orders[0].RRecords[0].MCount(), 1000000);
  EXPECT_EQ(msg.Orders[0].RRecords[0].MRecords.back().SeqNr, 999999);
  EXPECT_EQ(msg.UniqueImages.Count(), 1000);
}

TEST(ASTMParserRobustnessTest, NumbersTooLargeForAnIntegerAreNotNumeric) {
  struct {
    const char* seqNr;
    const char* well;
    const char* grade;
    int expectedSeqNr, expectedWell, expectedGrade;
  } cases[] = {
      {"99999999999", "2147483648", "-2147483649", 1, 0, 0},
      {"2147483647", "2147483647", "-2147483648", 2147483647, 2147483647, -2147483647 - 1},
      {"", "", "", 1, 0, 0},
      {"x1", "1x", "4+", 1, 0, 0},
  };
  for (const auto& c : cases) {
    TMRecord m;
    ASSERT_TRUE(ParseMRecord(std::string("M|") + c.seqNr + "|R|C^" + c.well + "|A|" + c.grade, m));
    EXPECT_EQ(m.SeqNr, c.expectedSeqNr) << c.seqNr;
    EXPECT_EQ(m.WellNr, c.expectedWell) << c.well;
    EXPECT_EQ(m.Grade, c.expectedGrade) << c.grade;
    EXPECT_EQ(m.IsError, c.expectedGrade < 0) << c.grade;
  }
}

}  // namespace
