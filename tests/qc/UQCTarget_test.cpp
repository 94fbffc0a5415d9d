// Target values: loading the tab-separated file, lookups, positivity and
// verdicts.
#include "qc/UQCTarget.h"

#include <string>

#include "support/TempFolder.h"

namespace {

using testing_support::TempFolderTest;
using testing_support::WriteAll;

class QCTargetTest : public TempFolderTest {
 protected:
  int Load(const std::string& bytes) {
    WriteAll(Path("targets.csv"), bytes);
    return LoadQCTargets(Path("targets.csv"));
  }
};

TEST_F(QCTargetTest, LoadsLevelsAndLooksUpWithoutCase) {
  EXPECT_EQ(Load("Niv\tx\ty\tANTI-A\t Anti-B \tCtl\r\n"
                 "1\t\t\t4+\tNEG\t0\r\n"
                 "\r\n"
                 "2\t\t\t(+)\t 2+ \t\textra\tmore\r\n"),
            2);
  EXPECT_EQ(GetQCTargetValue("1", "anti-a"), "4+");
  EXPECT_EQ(GetQCTargetValue(" 1 ", "Anti-B"), "NEG");
  EXPECT_EQ(GetQCTargetValue("2", "Anti-B"), "2+");
  EXPECT_EQ(GetQCTargetValue("2", "Ctl"), "");  // empty cell: no target
  EXPECT_EQ(GetQCTargetValue("3", "Anti-A"), "");
  EXPECT_EQ(GetQCTargetValue("1", " Anti-A"), "");  // the reagent is not trimmed
  EXPECT_EQ(GetQCTargetValue("5", "Anti-A"), "");
  EXPECT_EQ(GetQCTargetValue("x", "Anti-A"), "");
}

TEST_F(QCTargetTest, LaterRowReplacesAndEmptyCellRemoves) {
  EXPECT_EQ(Load("a\tb\tc\tR1\tR2\tR3\n"
                 "1\t\t\t4+\tNEG\t1+\n"
                 "1\t\t\t2+\t\n"),
            2);
  EXPECT_EQ(GetQCTargetValue("1", "R1"), "2+");
  EXPECT_EQ(GetQCTargetValue("1", "R2"), "");    // removed by the empty cell
  EXPECT_EQ(GetQCTargetValue("1", "R3"), "1+");  // no cell in the second row
}

TEST_F(QCTargetTest, SkipsBadLevelsAndShortRows) {
  EXPECT_EQ(Load("a\tb\tc\tR1\n"
                 "0\t\t\tP\n"
                 "5\t\t\tP\n"
                 "$2\t\t\tP\n"
                 "1x\t\t\tP\n"
                 "3\t\t\n"
                 "4\t\t\tP\n"),
            1);
  EXPECT_EQ(GetQCTargetValue("4", "R1"), "P");
}

TEST_F(QCTargetTest, HeaderWithoutReagentsCountsRowsButHoldsNothing) {
  EXPECT_EQ(Load("a\tb\tc\n1\t\t\t4+\n"), 1);
  EXPECT_EQ(GetQCTargetValue("1", ""), "");
  EXPECT_EQ(Load("a\tb\tc\tR1\n"), 0);  // header only
  EXPECT_EQ(GetQCTargetValue("1", "R1"), "");
  EXPECT_EQ(LoadQCTargets(Path("missing.csv")), 0);
  EXPECT_EQ(Load(""), 0);
}

TEST_F(QCTargetTest, DecodesByteOrderMarkAnsiAndCrOnlyLines) {
  // UTF-16 LE with a mark.
  const std::u16string text = u"a\tb\tc\tRéactif\r1\t\t\tNég";
  std::string bytes = "\xFF\xFE";
  for (const char16_t ch : text) {
    bytes += static_cast<char>(ch & 0xFF);
    bytes += static_cast<char>(ch >> 8);
  }
  EXPECT_EQ(Load(bytes), 1);
  EXPECT_EQ(GetQCTargetValue("1", "Réactif"), "Nég");
  // Windows-1252 without a mark.
  EXPECT_EQ(Load("a\tb\tc\tR\xE9\x61\x63tif\r1\t\t\t\x80\r"), 1);
  EXPECT_EQ(GetQCTargetValue("1", "Réactif"), "€");
}

TEST_F(QCTargetTest, SurvivesBinaryAndVeryWideFiles) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 37) & 0xFF);
  EXPECT_GE(Load(binary), 0);

  std::string header = "a\tb\tc", row = "1\t\t";
  for (int k = 0; k < 10000; ++k) {
    header += "\tR" + std::to_string(k);
    row += "\tV" + std::to_string(k);
  }
  EXPECT_EQ(Load(header + "\n" + row + "\n"), 1);
  EXPECT_EQ(GetQCTargetValue("1", "r9999"), "V9999");
}

TEST(QCTarget, ExtractsTheLastLevelDigit) {
  EXPECT_EQ(ExtractQCLevel("QC ABO NIV 2"), "2");
  EXPECT_EQ(ExtractQCLevel("LOT 12 "), "2");
  EXPECT_EQ(ExtractQCLevel("N4V0"), "4");
  EXPECT_EQ(ExtractQCLevel("LOT 05"), "");
  EXPECT_EQ(ExtractQCLevel(""), "");
}

TEST(QCTarget, JudgesOnPositivityOnly) {
  for (const char* negative : {"", "0", "-", "NEG", " neg ", "\tNeg"}) {
    EXPECT_FALSE(IsPositive(negative)) << negative;
  }
  for (const char* positive : {"1+", "4+", "(+)", "ERR:Bulle", "+", "00"}) {
    EXPECT_TRUE(IsPositive(positive)) << positive;
  }
  EXPECT_EQ(CheckQCResult("1+", "4+"), "OK");
  EXPECT_EQ(CheckQCResult("0", "(+)"), "NOK");
  EXPECT_EQ(CheckQCResult("ERR:Vide", "NEG"), "NOK");
  EXPECT_EQ(CheckQCResult("0", "-"), "OK");
  EXPECT_EQ(CheckQCResult("0", " "), "");
}

}  // namespace
