// Drawing of the composite: where the photograph's rows go, masks, grid,
// text cells, border, header labels, and the QC identifier decoding.
#include <gtest/gtest.h>

#include "imaging/ImagingTestData.h"
#include "imaging/UCompositeRender.h"
#include "imaging/UJpegCodec.h"
#include "platform/Clock.h"
#include "samplelab/SamplePhoto.h"

namespace {

constexpr int W = 1600;

TCanvas WhiteCanvas(int Width = W, int Height = COMPOSITE_HEIGHT) {
  TCanvas Canvas;
  std::string Error;
  EXPECT_TRUE(SizeRaster(Canvas.Bmp, Width, Height, Error)) << Error;
  CanvasFillRect(Canvas, 0, 0, Width, Height);
  return Canvas;
}

// True when every pixel of the rectangle has the colour.
bool AllOf(const TRaster& R, int X1, int Y1, int X2, int Y2, TRgbColor Color) {
  for (int Y = Y1; Y < Y2; ++Y) {
    for (int X = X1; X < X2; ++X) {
      if (!(GetPixel(R, X, Y) == Color)) return false;
    }
  }
  return true;
}

bool SameRegion(const TRaster& A, const TRaster& B, int X1, int Y1, int X2, int Y2) {
  for (int Y = Y1; Y < Y2; ++Y) {
    for (int X = X1; X < X2; ++X) {
      if (!(GetPixel(A, X, Y) == GetPixel(B, X, Y))) return false;
    }
  }
  return true;
}

TCassetteGroup GroupWith(std::initializer_list<int> Wells) {
  TCassetteGroup Group;
  Group.CassetteID = "123456";
  for (int Well : Wells) {
    Group.WellUsed[Well] = true;
    Group.Wells[Well].Reagent = "Anti-B";
    Group.Wells[Well].Grade = 20;
    ++Group.WellCount;
  }
  return Group;
}

class FixedYear : public ::testing::Test {
 protected:
  void SetUp() override {
    TDateTime Mid2026 = 0;
    platform::TryEncodeDate(2026, 6, 1, Mid2026);
    platform::SetNowForTesting([Mid2026] { return Mid2026; });
  }
  void TearDown() override { platform::SetNowForTesting(nullptr); }
};

}  // namespace

TEST_F(FixedYear, QCDecodeOID) {
  std::string Tube, Lot, Expiry;
  QCDecodeOID("QCX04568YYY12Z", Tube, Lot, Expiry);
  EXPECT_EQ(Tube, "2");
  EXPECT_EQ(Lot, "12");
  EXPECT_EQ(Expiry, "15/02/2026");

  QCDecodeOID("QCX00033YYY07Z", Tube, Lot, Expiry);
  EXPECT_EQ(Tube, "3");
  EXPECT_EQ(Expiry, "01/01/2033") << "2023 is below 2024: the next decade";

  QCDecodeOID("QCTDAQC0459801", Tube, Lot, Expiry);
  EXPECT_EQ(Tube, "2") << "the code starts at the 7th character";
  EXPECT_EQ(Lot, "");
  EXPECT_EQ(Expiry, "15/02/2029");

  QCDecodeOID("QCXABC6xYYY12Z", Tube, Lot, Expiry);
  EXPECT_EQ(Tube, "x");
  EXPECT_EQ(Expiry, "01/01/2026") << "days not a number count as 0";

  for (const std::string Bad : {"QC-123", "QCX04568YYY12", "QC 04568YYY12Z", "XQ04568YYY12ZZ"}) {
    QCDecodeOID(Bad, Tube, Lot, Expiry);
    EXPECT_EQ(Tube, Bad);
    EXPECT_EQ(Lot, "");
    EXPECT_EQ(Expiry, "");
  }
}

TEST(CropAndAssembleImage, CompositeRowsComeFromTheNamedPhotographRows) {
  TRaster Photo;
  std::string Error;
  ASSERT_TRUE(MakeRowCodedRaster(W, 2400, Photo, Error)) << Error;
  TCanvas Dest;
  ASSERT_TRUE(CropAndAssembleImage(Photo, Dest, Error)) << Error;
  ASSERT_EQ(Dest.Bmp.Width, W);
  ASSERT_EQ(Dest.Bmp.Height, COMPOSITE_HEIGHT);

  const auto SourceOf = [&](int Y) { return RowFromCodeColor(GetPixel(Dest.Bmp, W / 2, Y)); };
  // Strip edges: top strip 1:1, bottom and barcode strips stretched.
  const std::pair<int, int> Expected[] = {{260, 60},    {1074, 874},  {1408, 1497}, {2277, 2306},
                                          {2368, 2391}, {2377, 2399}, {2378, 974},  {2737, 1328}};
  for (const auto& [Y, Row] : Expected) EXPECT_EQ(SourceOf(Y), Row) << "composite row " << Y;

  // White bands, full width.
  for (const auto& [Y1, Y2] : {std::pair{0, 260}, {1075, 1408}, {2278, 2368}, {2738, 2888}}) {
    EXPECT_TRUE(AllOf(Dest.Bmp, 0, Y1, W, Y2, COLOR_WHITE)) << Y1 << ".." << Y2;
  }
  // Every other row is one photograph row across the whole width, rows
  // ascending within each strip.
  for (const auto& [Y1, Y2] : {std::pair{260, 1075}, {1408, 2278}, {2368, 2378}, {2378, 2738}}) {
    int Previous = -1;
    for (int Y = Y1; Y < Y2; ++Y) {
      const int Row = SourceOf(Y);
      ASSERT_GE(Row, Previous) << Y;
      ASSERT_TRUE(AllOf(Dest.Bmp, 0, Y, W, Y + 1, RowCodeColor(Row))) << Y;
      Previous = Row;
    }
  }
}

TEST(CropAndAssembleImage, RowsAShortPhotographLacksAreWhite) {
  TRaster Photo;
  std::string Error;
  ASSERT_TRUE(MakeRowCodedRaster(40, 1500, Photo, Error)) << Error;
  TCanvas Dest;
  ASSERT_TRUE(CropAndAssembleImage(Photo, Dest, Error)) << Error;
  EXPECT_EQ(RowFromCodeColor(GetPixel(Dest.Bmp, 0, 1408)), 1497);
  EXPECT_TRUE(AllOf(Dest.Bmp, 0, 1500, 40, 2278, COLOR_WHITE));
}

TEST(CropAndAssembleImage, FromJpegGivesTheSameCompositeAsFromTheDecodedPhotograph) {
  TSamplePhotoOptions Options;
  Options.Width = 320;
  Options.Height = 2600;  // rows past the strips are decoded and dropped
  std::string Jpeg, Error;
  ASSERT_TRUE(MakeSamplePhotoJpeg(Options, Jpeg, Error)) << Error;
  TRaster Photo;
  ASSERT_TRUE(DecodeJpeg(Jpeg, Photo, Error)) << Error;
  TCanvas FromRaster, FromJpeg;
  ASSERT_TRUE(CropAndAssembleImage(Photo, FromRaster, Error)) << Error;
  ASSERT_TRUE(CropAndAssembleFromJpeg(Jpeg, FromJpeg, Error)) << Error;
  EXPECT_TRUE(SameRegion(FromRaster.Bmp, FromJpeg.Bmp, 0, 0, 320, COMPOSITE_HEIGHT));
}

TEST(MaskUnusedWells, CoversExactlyTheComputedColumns) {
  TCanvas Canvas = WhiteCanvas();
  MaskUnusedWells(Canvas, W, GroupWith({3, 4, 5}));
  const TRaster& R = Canvas.Bmp;
  // Well 1: x 5..266, well 2: 275..528, well 6: 1341..1595; rows 260..2277.
  EXPECT_TRUE(AllOf(R, 5, 260, 267, 2278, MASK_COLOR));
  EXPECT_TRUE(AllOf(R, 275, 260, 529, 2278, MASK_COLOR));
  EXPECT_TRUE(AllOf(R, 1341, 260, 1596, 2278, MASK_COLOR));
  for (int X : {4, 267, 274, 529, 530, 1340, 1596}) {
    EXPECT_EQ(GetPixel(R, X, 1000), COLOR_WHITE) << "x " << X;
  }
  EXPECT_TRUE(AllOf(R, 5, 259, 1600, 260, COLOR_WHITE));
  EXPECT_TRUE(AllOf(R, 5, 2278, 1600, 2279, COLOR_WHITE));
  EXPECT_TRUE(AllOf(R, 529, 260, 1341, 2278, COLOR_WHITE)) << "used wells stay clear";
}

TEST(DrawReagentGrid, BoxesAndBlackBarWhereTheLayoutPutsThem) {
  TCanvas Canvas = WhiteCanvas();
  TCassetteGroup Group = GroupWith({2, 3});
  Group.Wells[3].Grade = GRADE_BUBBLE;
  DrawReagentGrid(Canvas, W, Group, 0, 0);
  const TRaster& R = Canvas.Bmp;
  const TRgbColor AntiB = GetReagentColor("Anti-B");

  // Well 2 spans x 270..527: outline 2 pixels wide inside the box, reagent
  // colour within; rounded corners leave the very corner white.
  for (int Y : {1120, 1220, 1320}) {
    EXPECT_EQ(GetPixel(R, 269, Y), COLOR_WHITE);
    EXPECT_EQ(GetPixel(R, 270, Y), COLOR_BLACK);
    EXPECT_EQ(GetPixel(R, 271, Y), COLOR_BLACK);
    EXPECT_EQ(GetPixel(R, 526, Y), COLOR_BLACK);
    EXPECT_EQ(GetPixel(R, 527, Y), COLOR_BLACK);
    EXPECT_EQ(GetPixel(R, 528, Y), COLOR_WHITE);
  }
  EXPECT_EQ(GetPixel(R, 300, 1076), COLOR_WHITE);
  EXPECT_EQ(GetPixel(R, 300, 1077), COLOR_BLACK);
  EXPECT_EQ(GetPixel(R, 300, 1172), COLOR_BLACK);
  EXPECT_EQ(GetPixel(R, 300, 1173), COLOR_WHITE);
  EXPECT_EQ(GetPixel(R, 270, 1077), COLOR_WHITE);
  EXPECT_EQ(GetPixel(R, 274, 1100), AntiB);
  EXPECT_EQ(GetPixel(R, 274, 1200), COLOR_WHITE) << "grade box of a good grade";
  EXPECT_EQ(GetPixel(R, 274 + 266, 1200), COLOR_RED) << "grade box of an error grade";
  EXPECT_EQ(GetPixel(R, 274, 1300), COLOR_WHITE);

  // An empty well: silver outline, light-grey fill.
  EXPECT_EQ(GetPixel(R, 4, 1120), COLOR_SILVER);
  EXPECT_EQ(GetPixel(R, 8, 1120), COLOR_LIGHT_GREY);
  EXPECT_EQ(GetPixel(R, 8, 1320), COLOR_LIGHT_GREY);

  EXPECT_TRUE(AllOf(R, 0, 1375, W, 1408, COLOR_BLACK));
  EXPECT_EQ(GetPixel(R, 10, 1374), COLOR_WHITE);
  EXPECT_EQ(GetPixel(R, 10, 1408), COLOR_WHITE);

  EXPECT_EQ(Canvas.PenWidth, 1);
  EXPECT_EQ(Canvas.FillColor, COLOR_WHITE);
  EXPECT_EQ(Canvas.PenColor, COLOR_BLACK);
  EXPECT_EQ(Canvas.Font.Color, COLOR_BLACK);
}

TEST(CanvasText, CellIsFontHeightHighAndFilledOpaque) {
  std::string Error;
  ASSERT_TRUE(LoadCanvasFonts(Error)) << Error;
  TCanvas Canvas = WhiteCanvas(600, 300);
  Canvas.FillColor = {0, 200, 0};
  CanvasFillRect(Canvas, 0, 0, 600, 300);
  Canvas.FillColor = COLOR_WHITE;
  Canvas.Font.Height = HDR_FONT_HEIGHT;
  Canvas.Font.Color = COLOR_NAVY;
  Canvas.Font.Style = fsBold;
  DisableClearType(Canvas);

  const std::string Text = "Hgj0";
  const int Width = CanvasTextWidth(Canvas, Text);
  EXPECT_EQ(CanvasTextHeight(Canvas, Text), 72);
  EXPECT_EQ(CanvasTextWidth(Canvas, "00"), 2 * CanvasTextWidth(Canvas, "0"));
  ASSERT_GT(Width, 72);
  CanvasTextOut(Canvas, 100, 50, Text);

  const TRaster& R = Canvas.Bmp;
  int Ink = 0;
  for (int Y = 50; Y < 122; ++Y) {
    for (int X = 100; X < 100 + Width; ++X) {
      const TRgbColor P = GetPixel(R, X, Y);
      ASSERT_TRUE(P == COLOR_WHITE || P == COLOR_NAVY) << "x " << X << " y " << Y;
      Ink += P == COLOR_NAVY;
    }
  }
  EXPECT_GT(Ink, 500);
  const TRgbColor Green{0, 200, 0};
  EXPECT_TRUE(AllOf(R, 100, 49, 100 + Width, 50, Green));
  EXPECT_TRUE(AllOf(R, 100, 122, 100 + Width, 123, Green));
  EXPECT_TRUE(AllOf(R, 99, 50, 100, 122, Green));
  EXPECT_TRUE(AllOf(R, 100 + Width, 50, 101 + Width, 122, Green));
}

TEST(CanvasText, CenteredTextCellSitsInTheMiddle) {
  TCanvas Canvas = WhiteCanvas(400, 200);
  Canvas.FillColor = {10, 20, 30};
  Canvas.Font.Height = GRID_FONT_HEIGHT;
  DisableClearType(Canvas);
  const int Width = CanvasTextWidth(Canvas, "4+");
  DrawCenteredText(Canvas, {100, 20, 255, 117}, "4+");
  const int X = 100 + (155 - Width) / 2;
  const int Y = 20 + (97 - 58) / 2;
  EXPECT_EQ(GetPixel(Canvas.Bmp, X, Y), (TRgbColor{10, 20, 30}));
  EXPECT_EQ(GetPixel(Canvas.Bmp, X - 1, Y), COLOR_WHITE);
  EXPECT_EQ(GetPixel(Canvas.Bmp, X, Y - 1), COLOR_WHITE);
  EXPECT_EQ(GetPixel(Canvas.Bmp, X + Width - 1, Y + 57), (TRgbColor{10, 20, 30}));
  EXPECT_EQ(GetPixel(Canvas.Bmp, X + Width, Y + 57), COLOR_WHITE);
  EXPECT_EQ(GetPixel(Canvas.Bmp, X, Y + 58), COLOR_WHITE);
}

TEST(DrawAlertBorder, EighteenPixelStrokeCentredFiveFromTheEdges) {
  for (const auto& [Type, Color] : {std::pair{abtYellow, COLOR_GOLD}, {abtRed, COLOR_RED}}) {
    TCanvas Canvas = WhiteCanvas();
    DrawAlertBorder(Canvas, W, COMPOSITE_HEIGHT, Type);
    const TRaster& R = Canvas.Bmp;
    const int H = COMPOSITE_HEIGHT;
    EXPECT_TRUE(AllOf(R, 0, 0, W, 14, Color));
    EXPECT_TRUE(AllOf(R, 0, H - 14, W, H, Color));
    EXPECT_TRUE(AllOf(R, 0, 0, 14, H, Color));
    EXPECT_TRUE(AllOf(R, W - 14, 0, W, H, Color));
    EXPECT_TRUE(AllOf(R, 14, 14, W - 14, 15, COLOR_WHITE));
    EXPECT_TRUE(AllOf(R, 14, 14, 15, H - 14, COLOR_WHITE));
    EXPECT_TRUE(AllOf(R, W - 15, 14, W - 14, H - 14, COLOR_WHITE));
  }
  TCanvas Canvas = WhiteCanvas(100, 100);
  DrawAlertBorder(Canvas, 100, 100, abtNone);
  EXPECT_TRUE(AllOf(Canvas.Bmp, 0, 0, 100, 100, COLOR_WHITE));
}

TEST(DrawHeader, LabelsFollowTheLanguageAndTheBagRule) {
  std::string Error;
  ASSERT_TRUE(LoadCanvasFonts(Error)) << Error;
  TASTMMessage Msg = imaging_test::MakeMessage({imaging_test::TTestCassette{}});
  Msg.Patient.BirthDate = 0;  // no date drawn over the label
  const TCassetteGroup Group = GroupWith({1});

  // What one text alone at a place looks like.
  const auto Alone = [](TFontStyle Style, int X, int Y, const std::string& Text) {
    TCanvas C = WhiteCanvas(W, 300);
    C.Font.Height = HDR_FONT_HEIGHT;
    C.Font.Color = COLOR_NAVY;
    C.Font.Style = Style;
    DisableClearType(C);
    CanvasTextOut(C, X, Y, Text);
    return C;
  };
  const std::pair<std::string, std::string> Cases[] = {
      {"nl", "Geb.datum:"}, {"NL", "Geb.datum:"}, {"en", "Birth date:"},
      {"fr", "Date N.:"},   {"", "Date N.:"},
  };
  for (const auto& [Language, Label] : Cases) {
    TCanvas Canvas = WhiteCanvas(W, 300);
    DrawHeader(Canvas, W, Msg, Group, Language, 2, 3);
    const TCanvas Expected = Alone(fsRegular, 10, HDR_Y_LINE4, Label);
    const int Width = CanvasTextWidth(Expected, Label);
    // Rows of line 3's cells overlap line 4's top; the label's own rows below.
    EXPECT_TRUE(SameRegion(Canvas.Bmp, Expected.Bmp, 10, HDR_Y_LINE3 + HDR_FONT_HEIGHT, 10 + Width,
                           HDR_Y_LINE4 + HDR_FONT_HEIGHT))
        << Language;
  }

  // The test label carries the bag number when BagStart is set.
  const std::string TestLabel = "ABO/Rh (2)    A12";
  TCanvas Canvas = WhiteCanvas(W, 300);
  DrawHeader(Canvas, W, Msg, Group, "fr", 2, 3);
  TCanvas Expected = Alone(fsItalic, 800, HDR_Y_LINE2, TestLabel);
  EXPECT_TRUE(SameRegion(Canvas.Bmp, Expected.Bmp, 800, HDR_Y_LINE2, W, HDR_Y_LINE3));
  Canvas = WhiteCanvas(W, 300);
  DrawHeader(Canvas, W, Msg, Group, "fr", 0, 3);
  Expected = Alone(fsItalic, 800, HDR_Y_LINE2, "ABO/Rh (2)");
  EXPECT_TRUE(SameRegion(Canvas.Bmp, Expected.Bmp, 800, HDR_Y_LINE2, W, HDR_Y_LINE3));
}

TEST(DrawHeader, NoOrderAndNoReportDateDrawNoDateOrTime) {
  TASTMMessage Msg = imaging_test::MakeMessage({imaging_test::TTestCassette{}});
  Msg.Orders[0].ReportDate = 0;
  TCanvas Canvas = WhiteCanvas(W, 300);
  DrawHeader(Canvas, W, Msg, GroupWith({1}), "fr", 0, 0);
  EXPECT_TRUE(AllOf(Canvas.Bmp, 980, HDR_Y_LINE4, W, 260, COLOR_WHITE));

  Msg.Orders.clear();
  Canvas = WhiteCanvas(W, 300);
  DrawHeader(Canvas, W, Msg, GroupWith({1}), "fr", 0, 0);
  EXPECT_TRUE(AllOf(Canvas.Bmp, 980, HDR_Y_LINE4, W, 260, COLOR_WHITE));
  EXPECT_TRUE(AllOf(Canvas.Bmp, 800, HDR_Y_LINE2, W, HDR_Y_LINE3, COLOR_WHITE)) << "no label";
  EXPECT_FALSE(AllOf(Canvas.Bmp, 10, HDR_Y_LINE1, 300, HDR_Y_LINE2, COLOR_WHITE)) << "names";
}
