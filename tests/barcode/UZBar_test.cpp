// The barcode reader: grey conversion, thresholds, the decoding passes and
// their acceptance rule, and the library's unavailable state.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "barcode/BarcodeFixture.h"
#include "barcode/BarcodeRasters.h"
#include "barcode/UZBar.h"
#include "platform/Files.h"
#include "platform/ProcessInfo.h"
#include "platform/SystemNames.h"
#include "support/SystemProbes.h"

namespace {

using barcode_testing::BarcodeTest;
using barcode_testing::TSurface;

// --- Grey conversion -------------------------------------------------------------

TEST(BitmapZoneToY800, ConvertsWithIntegerWeightsBetweenWhiteMargins) {
  // Row 1 of three white ones (so that no column is dark on average).
  TSurface s(4, 4, 1.0);
  s.SetPixel(0, 1, 255, 0, 0);      // (77 * 255) >> 8 = 76
  s.SetPixel(1, 1, 0, 255, 0);      // (150 * 255) >> 8 = 149
  s.SetPixel(2, 1, 0, 0, 255);      // (29 * 255) >> 8 = 28
  s.SetPixel(3, 1, 100, 150, 200);  // (7700 + 22500 + 5800) >> 8 = 140
  TRasterView view = s.View();
  int w = -1, h = -1;
  const std::vector<uint8_t> all = BitmapZoneToY800(&view, 0, 3, w, h);
  ASSERT_EQ(w, 104);
  ASSERT_EQ(h, 3);
  ASSERT_EQ(all.size(), 104u * 3);
  const uint8_t* buf = all.data() + 104;
  for (int x = 0; x < 50; ++x) EXPECT_EQ(buf[x], 255) << x;
  for (int x = 54; x < 104; ++x) EXPECT_EQ(buf[x], 255) << x;
  EXPECT_EQ(buf[50], 76);
  EXPECT_EQ(buf[51], 149);
  EXPECT_EQ(buf[52], 28);
  EXPECT_EQ(buf[53], 140);
  EXPECT_EQ(all[50], 255);
}

TEST(BitmapZoneToY800, BlanksDarkRowsAndDarkColumns) {
  // Grey 200 everywhere, column 1 black, one dark pixel at (3, 0), and row 3
  // dark: mean (90 + 4 * 20) / 5 = 34, below 40.
  TSurface s(5, 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 5; ++x) s.SetPixel(x, y, 200, 200, 200);
  for (int y = 0; y < 5; ++y) s.SetPixel(1, y, 0, 0, 0);
  s.SetPixel(3, 0, 10, 10, 10);
  for (int x = 0; x < 5; ++x) s.SetPixel(x, 3, 20, 20, 20);
  s.SetPixel(0, 3, 90, 90, 90);
  TRasterView view = s.View();
  int w = 0, h = 0;
  const std::vector<uint8_t> buf = BitmapZoneToY800(&view, 0, 4, w, h);
  ASSERT_EQ(w, 105);
  ASSERT_EQ(h, 4);
  auto at = [&](int x, int y) { return buf[y * w + 50 + x]; };
  EXPECT_EQ(at(0, 0), 200);
  EXPECT_EQ(at(1, 0), 255);  // dark column blanked
  EXPECT_EQ(at(1, 2), 255);
  EXPECT_EQ(at(3, 0), 10);  // a dark pixel alone stays dark
  EXPECT_EQ(at(3, 1), 200);
  for (int x = 0; x < 5; ++x) EXPECT_EQ(at(x, 3), 255) << x;  // dark row blanked

  // A band of dark rows only: no column is white, every row is blanked.
  TSurface dark(40, 20, 0.1);
  dark.Fill(10, 0, 5, 20, 0.12);
  TRasterView darkView = dark.View();
  const std::vector<uint8_t> blank = BitmapZoneToY800(&darkView, 0, 19, w, h);
  ASSERT_EQ(blank.size(), static_cast<size_t>(140 * 19));
  for (uint8_t b : blank) ASSERT_EQ(b, 255);
}

TEST(BitmapZoneToY800, ClampsTheBandAndRefusesEmptyOrMalformedRasters) {
  TSurface s(8, 10);
  TRasterView view = s.View();
  int w = 0, h = 0;
  // Y1 below 0 becomes 0; Y2 at or past the height becomes height - 1, so
  // the last row is never part of the band.
  EXPECT_EQ(BitmapZoneToY800(&view, -5, 10, w, h).size(), 108u * 9);
  EXPECT_EQ(h, 9);
  EXPECT_EQ(BitmapZoneToY800(&view, 3, 1000, w, h).size(), 108u * 6);
  EXPECT_EQ(h, 6);

  auto refused = [&](const TRasterView* v, int y1, int y2) {
    w = h = -1;
    const bool empty = BitmapZoneToY800(v, y1, y2, w, h).empty();
    return empty && w == 0 && h == 0;
  };
  EXPECT_TRUE(refused(nullptr, 0, 5));
  EXPECT_TRUE(refused(&view, 5, 5));
  EXPECT_TRUE(refused(&view, 9, 10));  // Y2 clamps to 9
  EXPECT_TRUE(refused(&view, 20, 30));
  TRasterView zeroWidth = view;
  zeroWidth.Width = 0;
  EXPECT_TRUE(refused(&zeroWidth, 0, 5));
  TRasterView shortRows = view;
  shortRows.Stride = 8 * 4 - 1;
  EXPECT_TRUE(refused(&shortRows, 0, 5));
  TRasterView noPixels = view;
  noPixels.Pixels = nullptr;
  EXPECT_TRUE(refused(&noPixels, 0, 5));
}

// --- Thresholds ------------------------------------------------------------------

TEST(ComputeP10Threshold, DarkestTenthPlusThirtyCappedAt200) {
  std::vector<uint8_t> black(1000, 0);
  EXPECT_EQ(ComputeP10Threshold(black.data(), black.size()), 30);
  std::vector<uint8_t> white(1000, 255);
  EXPECT_EQ(ComputeP10Threshold(white.data(), white.size()), 200);
  std::vector<uint8_t> mixed(1000, 220);
  for (int i = 0; i < 40; ++i) mixed[i * 3] = 20;    // 4 % at level 20
  for (int i = 0; i < 60; ++i) mixed[500 + i] = 50;  // reaching 10 % at level 50
  EXPECT_EQ(ComputeP10Threshold(mixed.data(), mixed.size()), 80);
  mixed[500] = 51;  // one short of a tenth at 50: the next level present
  EXPECT_EQ(ComputeP10Threshold(mixed.data(), mixed.size()), 81);
}

// --- Acceptance ------------------------------------------------------------------

TEST(IsAcceptedBarcode, DigitsNeed16To22OtherTexts5To12) {
  struct {
    const char* text;
    bool accepted;
  } cases[] = {
      {"", false},
      {"123456789012345", false},  // 15 digits
      {"1234567890123456", true},
      {"1234567890123456789012", true},  // 22
      {"12345678901234567890123", false},
      {"1234567890128", false},  // 13 digits: never
      {"123456", false},
      {"AB12", false},
      {"AB123", true},
      {"AB1234567890", true},  // 12
      {"AB12345678901", false},
      {"12-345678", true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsAcceptedBarcode(c.text), c.accepted) << c.text;
}

// --- Reading real symbols --------------------------------------------------------

class ZBarReadTest : public BarcodeTest {
 protected:
  // A band 200 rows high holding `code` in a 700-pixel-wide label.
  std::string ReadOne(const std::string& code) {
    TSurface s(900, 200, 0.6);
    s.Fill(80, 20, 740, 160, 1.0);
    EXPECT_TRUE(s.Code128(100, 40, 700, 120, code));
    TRasterView view = s.View();
    return ZBarReadBarcode(&view, 0, 200);
  }
};

TEST_F(ZBarReadTest, AcceptsFullCodesAndShortTextsRejectsOtherLengths) {
  LoadReader();
  EXPECT_EQ(ReadOne("1234567890123456"), "1234567890123456");
  EXPECT_EQ(ReadOne("AB12345"), "AB12345");
  EXPECT_EQ(ReadOne("1234567890128"), "");
  EXPECT_EQ(ReadOne("AB1234567890123"), "");
  EXPECT_EQ(LinesWith("debug.log", "[ZBAR] Barcode lu : 1234567890123456 (f83)").size(), 1u);
  const auto convert = LinesWith("service.log", "[PERF] BitmapToY800=");
  ASSERT_EQ(convert.size(), 4u);
  EXPECT_NE(convert[0].find("ms (Y=0..200 W=1000 H=199)"), std::string::npos) << convert[0];
  EXPECT_NE(LinesWith("service.log", "[PERF] FScanImage [f83] = ")[0].find("ms (NSym=1)"),
            std::string::npos);
  // The rejected reads went through all four passes, then the warning.
  EXPECT_EQ(LinesWith("service.log", "FScanImage [f83]").size(), 4u);
  EXPECT_EQ(LinesWith("service.log", "FScanImage [f83i]").size(), 2u);
  EXPECT_EQ(LinesWith("service.log", "FScanImage [p").size(), 4u);
  EXPECT_EQ(LinesWith("debug.log", "[ZBAR] Fallback P10=").size(), 2u);
  EXPECT_EQ(LinesWith("service.log", "[WARNING ] [ZBAR] Échec lecture Y=0..200").size(), 2u);
}

TEST_F(ZBarReadTest, WhiteOnBlackIsReadByTheInvertedPass) {
  LoadReader();
  TSurface s(900, 200, 1.0);
  s.Fill(60, 20, 780, 160, 1.0);
  ASSERT_TRUE(s.Code128(100, 40, 700, 120, "INV4321"));
  // Invert the label: black background, white bars.
  cairo_set_operator(s.Cr(), CAIRO_OPERATOR_DIFFERENCE);
  s.Fill(60, 20, 780, 160, 1.0);
  TRasterView view = s.View();
  EXPECT_EQ(ZBarReadBarcode(&view, 0, 200), "INV4321");
  EXPECT_EQ(LinesWith("debug.log", "Barcode lu : INV4321 (f83i)").size(), 1u);
}

// Two symbols in one band, drawn in both left-right orders.
class TwoSymbolsTest : public BarcodeTest {
 protected:
  std::string ReadPair(const std::string& left, const std::string& right) {
    TSurface s(1600, 160, 1.0);
    EXPECT_TRUE(s.Code128(20, 20, 760, 120, left));
    EXPECT_TRUE(s.Code128(820, 20, 760, 120, right));
    TRasterView view = s.View();
    return ZBarReadBarcode(&view, 0, 160);
  }
};

TEST_F(TwoSymbolsTest, LongestTextWins) {
  LoadReader();
  EXPECT_EQ(ReadPair("AB123", "CD1234567"), "CD1234567");
  EXPECT_EQ(ReadPair("CD1234567", "AB123"), "CD1234567");
}

TEST_F(TwoSymbolsTest, FullCodeWinsOverALongerText) {
  LoadReader();
  const std::string full = "1234567890123456";
  const std::string longer = "ABCDEFGHIJKLMNOPQRSTU";  // 21 characters
  EXPECT_EQ(ReadPair(full, longer), full);
  EXPECT_EQ(ReadPair(longer, full), full);
}

// --- Bands that must not upset the reader ---------------------------------------

TEST_F(ZBarReadTest, HostileBandsEndInAnEmptyReadWithTheWarning) {
  LoadReader();
  TSurface black(1600, 400, 0.0);
  TSurface white(1600, 400, 1.0);
  TSurface noise(1600, 400, 1.0);
  noise.Noise(0, 0, 1600, 400, 12345);
  TSurface cut(1000, 200, 1.0);  // the symbol runs off the right edge
  ASSERT_TRUE(cut.Code128(500, 30, 900, 140, "CUT12345"));
  TSurface* bands[] = {&black, &white, &noise, &cut};
  for (TSurface* band : bands) {
    TRasterView view = band->View();
    EXPECT_EQ(ZBarReadBarcode(&view, 0, view.Height), "");
  }
  EXPECT_EQ(LinesWith("service.log", "[WARNING ] [ZBAR] Échec lecture Y=0..400").size(), 3u);
  EXPECT_EQ(LinesWith("service.log", "[WARNING ] [ZBAR] Échec lecture Y=0..200").size(), 1u);
}

TEST_F(ZBarReadTest, BandsOutsideOrLargerThanTheRaster) {
  LoadReader();
  TSurface s(900, 200, 1.0);
  ASSERT_TRUE(s.Code128(100, 40, 700, 120, "TALL5678"));
  TRasterView view = s.View();
  EXPECT_EQ(ZBarReadBarcode(&view, -500, 5000), "TALL5678");  // clamped to rows 0..198

  TRasterView zeroWidth = view;
  zeroWidth.Width = 0;
  EXPECT_EQ(ZBarReadBarcode(&zeroWidth, 0, 200), "");
  EXPECT_EQ(ZBarReadBarcode(&view, 300, 400), "");
  EXPECT_EQ(ZBarReadBarcode(nullptr, 0, 200), "");
  EXPECT_EQ(
      LinesWith("service.log", "[ZBAR] Conversion Y800 échouée (bitmap H=200 Y=0..200)").size(),
      1u);
  EXPECT_EQ(
      LinesWith("service.log", "[ZBAR] Conversion Y800 échouée (bitmap H=200 Y=300..400)").size(),
      1u);
}

// --- Loading the library ---------------------------------------------------------

// A copy of the library from elsewhere, for a test that places one beside
// the executable: the system's, or the one the build put beside the tests.
std::string FindSystemLibrary() {
  const std::string besideTests =
      platform::JoinPath(platform::ExeFolder(), platform::BarcodeLibraryNames().front());
  if (std::filesystem::exists(besideTests)) return besideTests;
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib64",
                          "/usr/lib", "/lib/x86_64-linux-gnu"}) {
    const std::string path = std::string(dir) + "/" + platform::BarcodeLibraryNames().front();
    if (std::filesystem::exists(path)) return path;
  }
  return {};
}

TEST_F(BarcodeTest, SystemLibraryLoadsWhenNoneIsBesideTheExecutable) {
  ASSERT_TRUE(InitZBar(config_.ExeFolder));
  EXPECT_TRUE(ZBarAvailable());
  const auto lines = LinesWith("service.log", "[ZBAR]");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[INFO    ] [ZBAR] ZBar initialisé avec succès — "), std::string::npos);
  EXPECT_NE(lines[0].find(platform::BarcodeLibraryNames().front()), std::string::npos);
  // Idempotent: a second call neither reloads nor logs.
  EXPECT_TRUE(InitZBar(config_.ExeFolder));
  EXPECT_EQ(LinesWith("service.log", "[ZBAR]").size(), 1u);
  FinalizeZBar();
  EXPECT_FALSE(ZBarAvailable());
}

TEST_F(BarcodeTest, CopyBesideTheExecutableComesFirst) {
  const std::string system = FindSystemLibrary();
  if (system.empty()) GTEST_SKIP() << "no system copy of the library found";
  std::filesystem::create_directories(Path("exe"));
  const std::string local = Path("exe/" + platform::BarcodeLibraryNames().front());
  std::filesystem::copy_file(system, local);
  SetZBarSystemLibraryForTesting("libvelmar-no-such-zbar.so.0");
  ASSERT_TRUE(InitZBar(config_.ExeFolder));
  EXPECT_EQ(LinesWith("service.log", "ZBar initialisé avec succès — " + local).size(), 1u);
  TSurface s(900, 200, 1.0);
  ASSERT_TRUE(s.Code128(100, 40, 700, 120, "LOCAL123"));
  TRasterView view = s.View();
  EXPECT_EQ(ZBarReadBarcode(&view, 0, 200), "LOCAL123");
}

TEST_F(BarcodeTest, NoLibraryAnywhereLeavesTheReaderUnavailable) {
  SetZBarSystemLibraryForTesting("libvelmar-no-such-zbar.so.0");
  EXPECT_FALSE(InitZBar(config_.ExeFolder));
  EXPECT_FALSE(ZBarAvailable());
  EXPECT_EQ(LinesWith("service.log", "[ZBAR]"),
            (std::vector<std::string>{
                "[INFO    ] [ZBAR] libzbar-32.dll absente — extraction depuis ressources...",
                "[WARNING ] [ZBAR] Ressource LIBZBAR32 introuvable dans l'exe — DLL non "
                "embarquée ?",
                "[WARNING ] [ZBAR] Impossible d'extraire libzbar-32.dll — vérification barcode "
                "désactivée"}));
  TSurface s(900, 200, 1.0);
  ASSERT_TRUE(s.Code128(100, 40, 700, 120, "NONE1234"));
  TRasterView view = s.View();
  EXPECT_EQ(ZBarReadBarcode(&view, 0, 200), "");
  EXPECT_EQ(LinesWith("service.log", "[PERF]").size(), 0u);

  // A later call tries again.
  SetZBarSystemLibraryForTesting("");
  EXPECT_TRUE(InitZBar(config_.ExeFolder));
  EXPECT_EQ(ZBarReadBarcode(&view, 0, 200), "NONE1234");
}

TEST_F(BarcodeTest, UnloadableCopyBesideTheExecutable) {
  const std::string local = Path("exe/" + platform::BarcodeLibraryNames().front());
  testing_support::WriteAll(local, "not a library");
  EXPECT_FALSE(InitZBar(config_.ExeFolder));
  EXPECT_FALSE(ZBarAvailable());
  // The code is the system's own: 8 (ENOEXEC) on Linux, 193 on Windows.
  EXPECT_EQ(LinesWith("service.log", "[ZBAR]"),
            (std::vector<std::string>{"[WARNING ] [ZBAR] LoadLibrary échoué pour " + local +
                                      " (erreur " + testing_support::NotALibraryErrorCode() +
                                      ") — vérification barcode désactivée"}));
}

TEST_F(BarcodeTest, LibraryWithoutTheEntryPointsIsReleased) {
  SetZBarSystemLibraryForTesting(testing_support::SystemLibraryName());
  EXPECT_FALSE(InitZBar(config_.ExeFolder));
  EXPECT_FALSE(ZBarAvailable());
  const auto lines = LinesWith("service.log", "[ZBAR]");
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0],
            "[WARNING ] [ZBAR] Fonction introuvable dans DLL : zbar_image_scanner_create");
  EXPECT_EQ(lines[11], "[WARNING ] [ZBAR] Fonction introuvable dans DLL : zbar_symbol_next");
  EXPECT_EQ(lines[12],
            "[WARNING ] [ZBAR] Fonctions ZBar essentielles manquantes — vérification barcode "
            "désactivée");
}

}  // namespace
