// Verification of a composite picture's barcode against its cassette
// identifier, on composite-sized rasters with real Code 128 symbols.

#include <string>
#include <vector>

#include "barcode/BarcodeFixture.h"
#include "barcode/BarcodeRasters.h"
#include "barcode/UBarcodeVerif.h"

namespace {

using barcode_testing::BarcodeTest;
using barcode_testing::DrawComposite;
using barcode_testing::kCompositeHeight;
using barcode_testing::kCompositeWidth;
using barcode_testing::TSurface;

class VerifyTest : public BarcodeTest {
 protected:
  // Verifies a composite printed with `code` (none when empty) against
  // `cassette`; the label starts at `labelTop`.
  bool Verify(const std::string& code, const std::string& cassette, TBarcodeVerifResult& result,
              int labelTop = 2400, int labelHeight = 300) {
    TSurface s(kCompositeWidth, kCompositeHeight);
    DrawComposite(s, code, labelTop, labelHeight);
    result = bvrOK;  // overwritten by every outcome
    return VerifyBarcodeOnImage(s.View(), cassette, result);
  }
  bool FlagRaised() const { return !FlagText().empty(); }
};

TEST_F(VerifyTest, MatchingCodeInZoneZero) {
  LoadReader();
  TBarcodeVerifResult result;
  EXPECT_TRUE(Verify("0000000000123456", "123456", result));
  EXPECT_EQ(result, bvrOK);
  EXPECT_EQ(LinesWith("debug.log", "[VERIF]"),
            (std::vector<std::string>{"[DEBUG   ] [VERIF] Zone 0 : barcode lu [0000000000123456]",
                                      "[DEBUG   ] [VERIF] OK — [123456] dans [0000000000123456]"}));
  EXPECT_EQ(LinesWith("service.log", "[PERF] FScanImage").size(), 1u);  // first pass only
  EXPECT_FALSE(FlagRaised());
  EXPECT_TRUE(LinesWith("error.log", "").empty());
}

TEST_F(VerifyTest, DashesAndBlanksOfTheCassetteAreIgnored) {
  LoadReader();
  TBarcodeVerifResult result;
  EXPECT_TRUE(Verify("0000000012345678", "12-345678", result));
  EXPECT_EQ(result, bvrOK);
  EXPECT_EQ(LinesWith("debug.log", "OK — [345678] dans [0000000012345678]").size(), 1u);
}

TEST_F(VerifyTest, LetterCaseIsIgnoredOnTheNormalisedCode) {
  LoadReader();
  TBarcodeVerifResult result;
  EXPECT_TRUE(Verify("XXAB1234", "ab1234", result));
  EXPECT_EQ(result, bvrOK);
  EXPECT_EQ(LinesWith("debug.log", "[VERIF] OK normalisé — [AB1234]").size(), 1u);
  EXPECT_FALSE(FlagRaised());
}

TEST_F(VerifyTest, CassetteAnywhereInTheCodeMatches) {
  LoadReader();
  TBarcodeVerifResult result;
  EXPECT_TRUE(Verify("1234567890123457", "123456", result));
  EXPECT_EQ(result, bvrOK);
}

TEST_F(VerifyTest, DifferentCodeIsAMismatchWithErrorAndFlag) {
  LoadReader();
  TBarcodeVerifResult result;
  EXPECT_FALSE(Verify("1234567890123457", "123458", result));
  EXPECT_EQ(result, bvrMismatch);
  EXPECT_EQ(LinesWith("error.log", "[VERIF]"),
            (std::vector<std::string>{"[ERROR   ] [VERIF] DISCORDANCE BARCODE — brut: "
                                      "[1234567890123457] normalisé: [123457] ASTM: [123458] "
                                      "(zone 0)"}));
  EXPECT_NE(FlagText().find("Discordance barcode — lu: [123457] ASTM: [123458]\r\n"),
            std::string::npos);
  bool reported = false;
  for (const auto& e : sink_->Events())
    if (e.EventId == EVT_PROCESSING_ERROR && e.Message.find("DISCORDANCE") != std::string::npos)
      reported = true;
  EXPECT_TRUE(reported);
}

TEST_F(VerifyTest, NoCodeIsNotFoundAfterBothZones) {
  LoadReader();
  TBarcodeVerifResult result;
  EXPECT_FALSE(Verify("", "123456", result));
  EXPECT_EQ(result, bvrNotFound);
  EXPECT_EQ(LinesWith("debug.log", "[VERIF]"),
            (std::vector<std::string>{"[DEBUG   ] [VERIF] Zone 0 : aucun barcode",
                                      "[DEBUG   ] [VERIF] Zone 1 : aucun barcode"}));
  // All four passes in each zone.
  EXPECT_EQ(LinesWith("service.log", "[PERF] FScanImage").size(), 8u);
  EXPECT_EQ(LinesWith("service.log", "Échec lecture Y=2382..2720").size(), 1u);
  EXPECT_EQ(LinesWith("service.log", "Échec lecture Y=2200..2820").size(), 1u);
  EXPECT_EQ(LinesWith("error.log", "[VERIF]"),
            (std::vector<std::string>{"[ERROR   ] [VERIF] BARCODE NON LU — aucun barcode détecté "
                                      "sur 2 zone(s) — Cassette ASTM: [123456]"}));
  EXPECT_NE(FlagText().find("Barcode non lu — Cassette: [123456]\r\n"), std::string::npos);
}

TEST_F(VerifyTest, ZoneOneIsTriedWhenZoneZeroReadsNothing) {
  LoadReader();
  TBarcodeVerifResult result;
  // A label above zone 0 (rows 2200-2374), inside the wider zone 1.
  EXPECT_FALSE(Verify("ZZ999999", "123456", result, 2200, 175));
  EXPECT_EQ(result, bvrMismatch);
  EXPECT_EQ(LinesWith("debug.log", "[VERIF]"),
            (std::vector<std::string>{"[DEBUG   ] [VERIF] Zone 0 : aucun barcode",
                                      "[DEBUG   ] [VERIF] Zone 1 : barcode lu [ZZ999999]"}));
  EXPECT_EQ(LinesWith("error.log", "ASTM: [123456] (zone 1)").size(), 1u);
}

TEST_F(VerifyTest, UnavailableReaderSkipsTheCheck) {
  SetZBarSystemLibraryForTesting("libvelmar-no-such-zbar.so.0");
  ASSERT_FALSE(InitZBar(config_.ExeFolder));
  TBarcodeVerifResult result;
  EXPECT_TRUE(Verify("1234567890123457", "123456", result));
  EXPECT_EQ(result, bvrSkipped);
  EXPECT_EQ(LinesWith("debug.log", "[VERIF]"),
            (std::vector<std::string>{
                "[DEBUG   ] [VERIF] ZBar non disponible — vérification barcode ignorée"}));
  EXPECT_FALSE(FlagRaised());
}

TEST_F(VerifyTest, EmptyCassetteSkipsSilently) {
  LoadReader();
  TBarcodeVerifResult result;
  EXPECT_TRUE(Verify("1234567890123457", "", result));
  EXPECT_EQ(result, bvrSkipped);
  EXPECT_TRUE(LinesWith("debug.log", "[VERIF]").empty());
  EXPECT_TRUE(LinesWith("service.log", "[PERF]").empty());
  EXPECT_FALSE(FlagRaised());
}

TEST_F(VerifyTest, CassetteOfOnlyDashesMatchesNoCode) {
  LoadReader();
  TBarcodeVerifResult result;
  // Both sides normalise to nothing: that is no match.
  EXPECT_FALSE(Verify("-----", "- -", result));
  EXPECT_EQ(result, bvrMismatch);
  EXPECT_EQ(LinesWith("error.log", "brut: [-----] normalisé: [] ASTM: [] (zone 0)").size(), 1u);
}

}  // namespace

TEST(CassetteRules, NormalizeCassetteID) {
  EXPECT_EQ(NormalizeCassetteID("12-34 5678"), "345678");
  EXPECT_EQ(NormalizeCassetteID("12 34"), "1234");
  EXPECT_EQ(NormalizeCassetteID("  ab1234 "), "ab1234");
  EXPECT_EQ(NormalizeCassetteID(""), "");
}
