// Cassette grouping and the naming rules of the composite pictures.
#include <gtest/gtest.h>

#include "imaging/ImagingTestData.h"
#include "imaging/UCassetteRules.h"
#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "support/TempFolder.h"

namespace {

using imaging_test::MakeWell;

TRRecord Result(const std::string& TestCode, const std::string& Flag,
                const std::vector<TMRecord>& Wells, const std::string& Instrument = "I1") {
  TRRecord R;
  R.TestCode = TestCode;
  R.ResultFlag = Flag;
  R.InstrumentID = Instrument;
  R.MRecords = Wells;
  return R;
}

TMRecord Well(const std::string& Cassette, int WellNr, const std::string& Reagent = "Anti-A",
              const std::string& Photo = "p.jpg") {
  return MakeWell(Cassette, Photo, {WellNr, Reagent, 0});
}

TASTMMessage MessageOf(const std::vector<TRRecord>& Results) {
  TASTMMessage Msg;
  Msg.IsValid = true;
  TOrderRecord Order;
  Order.RRecords = Results;
  Msg.Orders.push_back(Order);
  return Msg;
}

}  // namespace

TEST(GroupByCassette, GroupsByTrimmedCaseSensitiveIdInMessageOrder) {
  TMRecord Second = Well("123456", 2, "Anti-B");
  Second.ReagentLot = "L2";
  const TASTMMessage Msg = MessageOf({
      Result("ABO", "P", {Well(" 123456", 1, "Anti-A", "first.jpg"), Well("123456", 2)}, "I1"),
      Result("abo", "M", {Second, Well("123456", 3), Well("abc", 1)}, "I2"),
      Result("Rh", "", {Well("ABC", 1), Well("", 4), Well("123456", 0), Well("123456", 7)}),
  });
  TCassetteGroup Groups[MAX_CASSETTES];
  int Count = -1;
  GroupByCassette(Msg, Groups, Count);

  ASSERT_EQ(Count, 3);
  EXPECT_EQ(Groups[0].CassetteID, "123456");
  EXPECT_EQ(Groups[1].CassetteID, "abc");
  EXPECT_EQ(Groups[2].CassetteID, "ABC");

  const TCassetteGroup& G = Groups[0];
  EXPECT_EQ(G.WellCount, 3);
  EXPECT_EQ(BuildWellsString(G), "123");
  EXPECT_EQ(G.Wells[2].Reagent, "Anti-A") << "the first record of a well is kept";
  EXPECT_EQ(G.ColorImageFile, "first.jpg");
  EXPECT_EQ(G.InstrumentID, "I1");
  EXPECT_EQ(G.ResultFlags, "P/M");
  EXPECT_EQ(G.TestNames, std::vector<std::string>{"ABO"});
  EXPECT_EQ(G.ReagentLot, "L2");
  EXPECT_EQ(G.ReagentName, "Anti-B");
  EXPECT_EQ(G.FirstWell, 0);

  FreeCassetteGroup(Groups[0]);
  EXPECT_TRUE(Groups[0].TestNames.empty());
}

TEST(GroupByCassette, FlagAlreadyContainedIsNotAddedAgain) {
  const TASTMMessage Msg =
      MessageOf({Result("T", "NA", {Well("1", 1)}), Result("T", "A", {Well("1", 2)})});
  TCassetteGroup Groups[MAX_CASSETTES];
  int Count = 0;
  GroupByCassette(Msg, Groups, Count);
  ASSERT_EQ(Count, 1);
  EXPECT_EQ(Groups[0].ResultFlags, "NA");
}

class GroupByCassetteLogTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    TAppConfig Config = imaging_test::MakeConfig(dir_);
    InitLogger(Config, "VelmarImageService");
  }
  void TearDown() override {
    FinalizeLogger();
    TempFolderTest::TearDown();
  }
};

TEST_F(GroupByCassetteLogTest, TwentyFirstCassetteIsRefusedWithAWarning) {
  std::vector<TMRecord> Wells;
  for (int i = 1; i <= 21; ++i) Wells.push_back(Well("C" + std::to_string(i), 1));
  Wells.push_back(Well("C3", 2));
  TCassetteGroup Groups[MAX_CASSETTES];
  int Count = 0;
  GroupByCassette(MessageOf({Result("T", "", Wells)}), Groups, Count);
  ASSERT_EQ(Count, MAX_CASSETTES);
  EXPECT_EQ(Groups[19].CassetteID, "C20");
  EXPECT_EQ(Groups[2].WellCount, 2) << "known cassettes still take their wells";
  const std::string Log = testing_support::ReadAnsiText(Path("log/service.log"));
  EXPECT_NE(Log.find("[WARNING ] [IMAGE] Max cassettes atteint (20) — CassID ignoré: C21"),
            std::string::npos)
      << Log;
}

TEST(CassetteRules, ApplyBagRule) {
  EXPECT_EQ(ApplyBagRule("=A1234567", 2, 4), "A123");
  EXPECT_EQ(ApplyBagRule("=A12", 2, 10), "A12");
  EXPECT_EQ(ApplyBagRule("A1234567", 2, 4), "A1234567");
  EXPECT_EQ(ApplyBagRule("=A1", 4, 2), "=A1") << "start beyond the end";
  EXPECT_EQ(ApplyBagRule("=A1", 0, 2), "=A1");
  EXPECT_EQ(ApplyBagRule(" =A1", 2, 2), " =A1") << "no trimming";
}

TEST(CassetteRules, ExtractCellsLot) {
  EXPECT_EQ(ExtractCellsLot("0.8-Surg2", "L5", "Titration Panel"), "8SSL5 c:2");
  EXPECT_EQ(ExtractCellsLot("0.8-Surg2", "L5", "Screen"), "8SSL5");
  EXPECT_EQ(ExtractCellsLot("0.8-Surg0", "L5", "TITRATION"), "8SSL5");
  EXPECT_EQ(ExtractCellsLot("Anti-B", "77", "x"), "8A77");
  EXPECT_EQ(ExtractCellsLot("BLISS A1", "9", "x"), "BLISS: 9");
  EXPECT_EQ(ExtractCellsLot("Test C Cells", "4", "x"), "R8C4");
  EXPECT_EQ(ExtractCellsLot("C Enz", "4", "x"), "R8E4");
  EXPECT_EQ(ExtractCellsLot(" Other ", " 12 ", "x"), "Other12");
  EXPECT_EQ(ExtractCellsLot("Anti-B", " ", "x"), "");
  EXPECT_EQ(ExtractCellsLot("", "12", "x"), "");
}

TEST(CassetteRules, GetReagentColor) {
  EXPECT_EQ(GetReagentColor("ds-12"), (TRgbColor{246, 225, 110}));
  EXPECT_EQ(GetReagentColor("Anti-c"), (TRgbColor{186, 140, 166}));
  EXPECT_EQ(GetReagentColor("Anti-C"), (TRgbColor{238, 152, 135}));
  EXPECT_EQ(GetReagentColor(" Anti-A "), (TRgbColor{116, 180, 207}));
  EXPECT_EQ(GetReagentColor("anti-a"), COLOR_WHITE);
  EXPECT_EQ(GetReagentColor(""), COLOR_WHITE);
  EXPECT_EQ(GetReagentColor("C3b C3d"), COLOR_WHITE);
}

TEST(CassetteRules, GetAlertBorderType) {
  EXPECT_EQ(GetAlertBorderType("p / m"), abtRed);
  EXPECT_EQ(GetAlertBorderType("P"), abtYellow);
  EXPECT_EQ(GetAlertBorderType("P//N"), abtYellow);
  EXPECT_EQ(GetAlertBorderType("na"), abtRed);
  EXPECT_EQ(GetAlertBorderType("N"), abtNone);
  EXPECT_EQ(GetAlertBorderType("PM"), abtNone) << "items are whole flags";
  EXPECT_EQ(GetAlertBorderType(""), abtNone);
}

TEST(CassetteRules, SanitizePanelName) {
  EXPECT_EQ(SanitizePanelName("Panel A/B (x)"), "Panel_A_B_x");
  EXPECT_EQ(SanitizePanelName("ABO/Rh (2)"), "ABO_Rh_2");
  EXPECT_EQ(SanitizePanelName("__a+-b__"), "_a+-b");
  EXPECT_EQ(SanitizePanelName("Dépistage"), "D_pistage");
}

TEST(CassetteRules, BuildImageFileName) {
  TCassetteGroup Group;
  Group.CassetteID = "123456";
  for (int Well = 1; Well <= 6; ++Well) Group.WellUsed[Well] = true;
  EXPECT_EQ(BuildImageFileName("/img", "240101234", "ABO/Rh (2)", Group, "JPG"),
            platform::JoinPath("/img", "240101234_ABO_Rh_2_123456_123456.jpg"));
  EXPECT_EQ(BuildImageFileName("/img/", "S", "", Group, "jpg"),
            platform::JoinPath("/img/", "S__123456_123456.jpg"));
}

TEST(CassetteRules, ValuesFromTheMessageNeverLeaveTheFolder) {
  TCassetteGroup Group;
  Group.CassetteID = "../..";
  Group.WellUsed[1] = true;
  const std::string Path = BuildImageFileName("/img", "../../etc/x", "P", Group, "jpg");
  EXPECT_EQ(Path, platform::JoinPath("/img", ".._.._etc_x_P_.._.._1.jpg"));
  Group.CassetteID = std::string("a\\b\0c", 5);
  EXPECT_EQ(BuildImageFileName("/img", "/abs", "P", Group, "jpg"),
            platform::JoinPath("/img", "_abs_P_a_b_c_1.jpg"));
}
