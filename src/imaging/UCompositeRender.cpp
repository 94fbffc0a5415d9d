// Drawing of the composite picture: strips of the photograph, masks, header,
// reagent grid, footer, alert border; and the QC identifier decoding.
#include "imaging/UCompositeRender.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "imaging/UJpegCodec.h"
#include "platform/Clock.h"
#include "platform/Text.h"

namespace {

// One strip of the photograph and the composite rows it is stretched over.
struct TStrip {
  int SrcY1, SrcY2, DstY1, DstY2;
};

// Later strips overwrite earlier ones where they overlap.
constexpr TStrip STRIPS[] = {
    {CROP_TOP_SRC_Y1, CROP_TOP_SRC_Y2, CROP_TOP_DST_Y1, CROP_TOP_DST_Y2},
    {CROP_BAR_SRC_Y1, CROP_BAR_SRC_Y2, CROP_BAR_DST_Y1, CROP_BAR_DST_Y2},
    {CROP_BOT_SRC_Y1, CROP_BOT_SRC_Y2, CROP_BOT_DST_Y1, CROP_BOT_DST_Y2},
};

constexpr struct {
  int Y1, Y2;
} WHITE_BANDS[] = {
    {WHITE_HEADER_Y1, WHITE_HEADER_Y2},
    {WHITE_GRID_Y1, WHITE_GRID_Y2},
    {WHITE_BAR_SEP_Y1, WHITE_BAR_SEP_Y2},
    {WHITE_LABEL_Y1, WHITE_LABEL_Y2},
};

// Rows of the three grid boxes of a column.
constexpr int GRID_BOX_Y[GRID_ROWS][2] = {{1077, 1173}, {1177, 1273}, {1277, 1373}};
constexpr int GRID_BAR_Y1 = 1375, GRID_BAR_Y2 = 1408;
constexpr int GRID_BOX_CORNER = 16;
constexpr int GRID_PEN_WIDTH = 2;

// Nearest integer, exact halves to the even neighbour.
int Nearest(double Value) {
  return static_cast<int>(std::nearbyint(Value));
}

void TextAt(TCanvas& Canvas, TFontStyle Style, int X, int Y, const std::string& Text) {
  Canvas.Font.Style = Style;
  CanvasTextOut(Canvas, X, Y, Text);
}

// The header's test label: the test name up to its first "^", followed by
// the bag number when the third component is a bag reference ("=...").
std::string HeaderTestLabel(const std::string& TestName, int BagStart, int BagLength) {
  const size_t First = TestName.find('^');
  if (First == std::string::npos) return TestName;
  std::string Label = TestName.substr(0, First);
  std::string Value = TestName.substr(First + 1);
  size_t Caret = Value.find('^');
  if (Caret != std::string::npos) Value = Value.substr(Caret + 1);
  Caret = Value.find('^');
  if (Caret != std::string::npos) Value = Value.substr(0, Caret);
  if (!Value.empty() && Value[0] == '=' && BagStart > 0) {
    Label += "    " + ApplyBagRule(Value, BagStart, BagLength);
  }
  return Label;
}

std::string TranslateQCTube(const std::string& Digit) {
  if (Digit == "6") return "1";
  if (Digit == "8") return "2";
  if (Digit == "5") return "4";
  return Digit;  // "3" stays "3", like any other character
}

// The composite rows each photograph row is copied to, for assembling the
// composite while the photograph decodes.
struct TAssembly {
  TRaster* Dest = nullptr;
  int PhotoWidth = 0;
  int PhotoHeight = 0;
  std::vector<int> DestRows;     // composite rows ordered by their source row
  std::vector<int> FirstOf;      // DestRows[FirstOf[s] .. FirstOf[s + 1] - 1] come from row s
  std::vector<uint8_t> Scratch;  // where rows that no composite row uses are decoded
};

uint8_t* DestRow(const TAssembly& A, int Y) {
  return A.Dest->Pixels + static_cast<size_t>(Y) * static_cast<size_t>(A.Dest->Stride);
}

bool StartAssembly(void* Context, int Width, int Height, char* Error, size_t ErrorSize) {
  const auto& A = *static_cast<const TAssembly*>(Context);
  if (Width == A.PhotoWidth && Height == A.PhotoHeight) return true;
  std::snprintf(Error, ErrorSize, "taille de l'image changée en cours de lecture");
  return false;
}

uint8_t* AssemblyRow(void* Context, int Row) {
  auto& A = *static_cast<TAssembly*>(Context);
  if (A.FirstOf[Row] < A.FirstOf[Row + 1]) return DestRow(A, A.DestRows[A.FirstOf[Row]]);
  return A.Scratch.data() + static_cast<size_t>(Row % JPEG_ROWS_PER_CALL) * A.PhotoWidth * 4;
}

void AssemblyRowsDone(void* Context, int First, int Count) {
  auto& A = *static_cast<TAssembly*>(Context);
  const size_t RowBytes = static_cast<size_t>(A.PhotoWidth) * 4;
  for (int Row = First; Row < First + Count; ++Row) {
    if (A.FirstOf[Row] == A.FirstOf[Row + 1]) continue;  // decoded into the scratch rows
    const uint8_t* Decoded = DestRow(A, A.DestRows[A.FirstOf[Row]]);
    for (int k = A.FirstOf[Row] + 1; k < A.FirstOf[Row + 1]; ++k) {
      std::memcpy(DestRow(A, A.DestRows[k]), Decoded, RowBytes);
    }
  }
}

}  // namespace

int CompositeSourceRow(int Y) {
  for (const auto& Band : WHITE_BANDS) {
    if (Y >= Band.Y1 && Y < Band.Y2) return -1;
  }
  for (int i = static_cast<int>(std::size(STRIPS)) - 1; i >= 0; --i) {
    const TStrip& S = STRIPS[i];
    if (Y >= S.DstY1 && Y < S.DstY2) {
      // Row centres mapped onto the source rows (nearest-row replication).
      const long Num = (2L * (Y - S.DstY1) + 1) * (S.SrcY2 - S.SrcY1);
      return S.SrcY1 + static_cast<int>(Num / (2L * (S.DstY2 - S.DstY1)));
    }
  }
  return -1;
}

bool CropAndAssembleImage(const TRaster& Photo, TCanvas& Dest, std::string& Error) {
  if (Photo.Pixels == nullptr) {
    Error = "photographie vide";
    return false;
  }
  if (!SizeRaster(Dest.Bmp, Photo.Width, COMPOSITE_HEIGHT, Error)) return false;
  const size_t RowBytes = static_cast<size_t>(Photo.Width) * 4;
  for (int Y = 0; Y < COMPOSITE_HEIGHT; ++Y) {
    uint8_t* Row = Dest.Bmp.Pixels + static_cast<size_t>(Y) * Dest.Bmp.Stride;
    const int Src = CompositeSourceRow(Y);
    if (Src < 0 || Src >= Photo.Height) {
      std::memset(Row, 0xFF, RowBytes);
    } else {
      std::memcpy(Row, Photo.Pixels + static_cast<size_t>(Src) * Photo.Stride, RowBytes);
    }
  }
  MarkRasterChanged(Dest.Bmp);
  return true;
}

bool CropAndAssembleFromJpeg(std::string_view PhotoJpeg, TCanvas& Dest, std::string& Error) {
  TAssembly A;
  if (!ReadJpegSize(PhotoJpeg, A.PhotoWidth, A.PhotoHeight, Error) ||
      !SizeRaster(Dest.Bmp, A.PhotoWidth, COMPOSITE_HEIGHT, Error)) {
    return false;
  }
  A.Dest = &Dest.Bmp;
  const size_t RowBytes = static_cast<size_t>(A.PhotoWidth) * 4;
  A.FirstOf.assign(static_cast<size_t>(A.PhotoHeight) + 1, 0);
  for (int Y = 0; Y < COMPOSITE_HEIGHT; ++Y) {
    const int Src = CompositeSourceRow(Y);
    if (Src < 0 || Src >= A.PhotoHeight) {
      std::memset(DestRow(A, Y), 0xFF, RowBytes);
    } else {
      ++A.FirstOf[static_cast<size_t>(Src) + 1];
    }
  }
  for (int Row = 0; Row < A.PhotoHeight; ++Row) A.FirstOf[Row + 1] += A.FirstOf[Row];
  A.DestRows.resize(static_cast<size_t>(A.FirstOf[A.PhotoHeight]));
  std::vector<int> Next(A.FirstOf.begin(), A.FirstOf.end() - 1);
  for (int Y = 0; Y < COMPOSITE_HEIGHT; ++Y) {
    const int Src = CompositeSourceRow(Y);
    if (Src >= 0 && Src < A.PhotoHeight) A.DestRows[Next[Src]++] = Y;
  }
  A.Scratch.resize(RowBytes * JPEG_ROWS_PER_CALL);

  TJpegRowTarget Target;
  Target.Context = &A;
  Target.Start = StartAssembly;
  Target.Row = AssemblyRow;
  Target.Done = AssemblyRowsDone;
  const bool Ok = DecodeJpegRows(PhotoJpeg, Target, Error);
  MarkRasterChanged(Dest.Bmp);
  return Ok;
}

void MaskUnusedWells(TCanvas& Canvas, int ImageWidth, const TCassetteGroup& Group) {
  const double ColWidth = ImageWidth / 6.0;
  Canvas.FillColor = MASK_COLOR;
  Canvas.PenColor = MASK_COLOR;
  for (int Well = 1; Well <= WELLS_PER_CASSETTE; ++Well) {
    if (Group.WellUsed[Well]) continue;
    const int X1 = Well == 1 ? 5 : Nearest((Well - 1) * ColWidth) + 8;
    const int X2 = Well == 1 ? Nearest(ColWidth) : Nearest(Well * ColWidth) - 4;
    CanvasRectangle(Canvas, X1, MASK_Y_TOP, X2, MASK_Y_BOTTOM);
  }
}

void DrawHeader(TCanvas& Canvas, int /*ImageWidth*/, const TASTMMessage& Msg,
                const TCassetteGroup& /*Group*/, const std::string& Language, int BagStart,
                int BagLength) {
  Canvas.Font.Height = HDR_FONT_HEIGHT;
  Canvas.Font.Color = COLOR_NAVY;
  Canvas.Font.Style = fsRegular;
  Canvas.FillColor = COLOR_WHITE;
  DisableClearType(Canvas);

  std::string BirthLabel = "Date N.:";
  std::string SexLabel = "Sex:";
  std::string ValidationLabel = "Validation:";
  if (platform::SameTextAscii(Language, "nl")) {
    BirthLabel = "Geb.datum:";
    SexLabel = "Gesl.:";
    ValidationLabel = "Validatie:";
  } else if (platform::SameTextAscii(Language, "en")) {
    BirthLabel = "Birth date:";
  }

  const bool HasOrder = Msg.OrderCount() > 0;
  std::string TestLabel, DateText, TimeText, SampleID;
  if (HasOrder) {
    const TOrderRecord& Order = Msg.Orders[0];
    TestLabel = HeaderTestLabel(Order.TestName, BagStart, BagLength);
    // A report date of 0 is "no date": nothing is shown rather than 1899.
    if (Order.ReportDate > 0) {
      DateText = platform::FormatDateTime("dd/mm/yyyy", Order.ReportDate);
      TimeText = platform::FormatDateTime("hh:nn:ss", Order.ReportDate);
    }
    SampleID = Order.SampleID;
  }

  if (Msg.IsQC) {
    std::string Tube, Lot, Expiry;
    if (HasOrder) QCDecodeOID(SampleID, Tube, Lot, Expiry);
    TextAt(Canvas, fsRegular, 10, HDR_Y_LINE1, "QC Tube:");
    TextAt(Canvas, fsRegular, 10, HDR_Y_LINE2, "QC Lot:");
    TextAt(Canvas, fsRegular, 10, HDR_Y_LINE3, "Peremption:");
    TextAt(Canvas, fsRegular, 10, HDR_Y_LINE4, "SID: ");
    TextAt(Canvas, fsRegular, 800, HDR_Y_LINE4, "RES: ");
    TextAt(Canvas, fsItalic, 800, HDR_Y_LINE2, TestLabel);
    TextAt(Canvas, fsBold, 400, HDR_Y_LINE1, Tube);
    TextAt(Canvas, fsBold, 400, HDR_Y_LINE2, Lot);
    TextAt(Canvas, fsBold, 400, HDR_Y_LINE3, Expiry);
    if (HasOrder) {
      TextAt(Canvas, fsBold, 150, HDR_Y_LINE4, SampleID);
      TextAt(Canvas, fsBold, 980, HDR_Y_LINE4, DateText);
      TextAt(Canvas, fsBold, 1320, HDR_Y_LINE4, TimeText);
    }
    return;
  }

  const TPatientRecord& Patient = Msg.Patient;
  TextAt(Canvas, fsRegular, 10, HDR_Y_LINE3, "PID:");
  TextAt(Canvas, fsRegular, 800, HDR_Y_LINE3, "SID: ");
  TextAt(Canvas, fsRegular, 800, HDR_Y_LINE4, "RES: ");
  TextAt(Canvas, fsRegular, 10, HDR_Y_LINE4, BirthLabel);
  TextAt(Canvas, fsRegular, 575, HDR_Y_LINE4, SexLabel);
  TextAt(Canvas, fsRegular, 10, HDR_Y_FOOTER2, ValidationLabel);
  TextAt(Canvas, fsItalic, 800, HDR_Y_LINE2, TestLabel);
  TextAt(Canvas, fsBold, 10, HDR_Y_LINE1, Patient.FirstName);
  TextAt(Canvas, fsBold, 10, HDR_Y_LINE2, Patient.LastName);
  TextAt(Canvas, fsBold, 150, HDR_Y_LINE3, Patient.PatientID);
  if (HasOrder) {
    TextAt(Canvas, fsBold, 950, HDR_Y_LINE3, SampleID);
    TextAt(Canvas, fsBold, 980, HDR_Y_LINE4, DateText);
    TextAt(Canvas, fsBold, 1320, HDR_Y_LINE4, TimeText);
  }
  if (Patient.BirthDate > 0) {
    TextAt(Canvas, fsBold, 250, HDR_Y_LINE4,
           platform::FormatDateTime("dd/mm/yyyy", Patient.BirthDate));
  }
  TextAt(Canvas, fsBold, 700, HDR_Y_LINE4, Patient.Sex);
}

void DrawReagentGrid(TCanvas& Canvas, int ImageWidth, const TCassetteGroup& Group, int BagStart,
                     int BagLength) {
  const int ColWidth = ImageWidth / 6;
  Canvas.Font.Height = GRID_FONT_HEIGHT;
  Canvas.PenColor = COLOR_BLACK;
  Canvas.PenWidth = GRID_PEN_WIDTH;
  for (int Well = 1; Well <= WELLS_PER_CASSETTE; ++Well) {
    const int X1 = (Well - 1) * ColWidth + 4;
    const int X2 = Well * ColWidth - 4;
    const auto Box = [&](int Row) {
      CanvasRoundRect(Canvas, X1, GRID_BOX_Y[Row][0], X2, GRID_BOX_Y[Row][1], GRID_BOX_CORNER,
                      GRID_BOX_CORNER);
      return TRect{X1, GRID_BOX_Y[Row][0], X2, GRID_BOX_Y[Row][1]};
    };
    if (!Group.WellUsed[Well]) {
      Canvas.PenColor = COLOR_SILVER;
      Canvas.FillColor = COLOR_LIGHT_GREY;
      for (int Row = 0; Row < GRID_ROWS; ++Row) Box(Row);
      continue;
    }
    const TMRecord& Rec = Group.Wells[Well];
    Canvas.PenColor = COLOR_BLACK;
    Canvas.FillColor = GetReagentColor(Rec.Reagent);
    Canvas.Font.Color = COLOR_BLACK;
    Canvas.Font.Style = fsBold;
    DrawCenteredText(Canvas, Box(0), ApplyBagRule(Rec.Reagent, BagStart, BagLength));

    const bool GradeError = IsGradeError(Rec.Grade);
    Canvas.FillColor = GradeError ? COLOR_RED : COLOR_WHITE;
    Canvas.Font.Color = GradeError ? COLOR_WHITE : COLOR_BLACK;
    Canvas.Font.Style = fsRegular;
    DrawCenteredText(Canvas, Box(1), GradeToStr(Rec.Grade));

    Canvas.FillColor = COLOR_WHITE;
    Box(2);
  }
  Canvas.FillColor = COLOR_BLACK;
  CanvasFillRect(Canvas, 0, GRID_BAR_Y1, ImageWidth, GRID_BAR_Y2);

  Canvas.PenWidth = 1;
  Canvas.FillColor = COLOR_WHITE;
  Canvas.PenColor = COLOR_BLACK;
  Canvas.Font.Color = COLOR_BLACK;
}

void DrawFooter(TCanvas& Canvas, int /*ImageWidth*/, const TCassetteGroup& Group,
                const std::string& Validation, const std::string& Language,
                const std::string& PanelName) {
  Canvas.Font.Height = HDR_FONT_HEIGHT;
  DisableClearType(Canvas);
  const std::string ValidationLabel =
      platform::SameTextAscii(Language, "nl") ? "Validatie:" : "Validation:";
  const std::string CellsLot = ExtractCellsLot(Group.ReagentName, Group.ReagentLot, PanelName);

  Canvas.Font.Color = COLOR_NAVY;
  TextAt(Canvas, fsRegular, 10, HDR_Y_FOOTER1, "Cass N°");
  TextAt(Canvas, fsRegular, 1170, HDR_Y_FOOTER1, "Instr:");
  TextAt(Canvas, fsBold, 250, HDR_Y_FOOTER1, Group.CassetteID);
  TextAt(Canvas, fsBold, 1315, HDR_Y_FOOTER1, Group.InstrumentID);
  if (!CellsLot.empty()) {
    TextAt(Canvas, fsRegular, 490, HDR_Y_FOOTER1, "Cells Lot:");
    TextAt(Canvas, fsBold, 790, HDR_Y_FOOTER1, CellsLot);
  }
  TextAt(Canvas, fsRegular, 10, HDR_Y_FOOTER2, ValidationLabel);
  TextAt(Canvas, fsBold, 330, HDR_Y_FOOTER2, Validation);
  Canvas.Font.Color = COLOR_BLUE;
  TextAt(Canvas, fsItalic, 1230, HDR_Y_FOOTER2, FOOTER_WEB_ADDRESS);

  Canvas.Font.Style = fsRegular;
  Canvas.Font.Color = COLOR_BLACK;
}

void DrawAlertBorder(TCanvas& Canvas, int ImageWidth, int ImageHeight, TAlertBorderType Border) {
  if (Border == abtNone) return;
  Canvas.PenWidth = BORDER_PEN_WIDTH;
  Canvas.PenColor = Border == abtYellow ? COLOR_GOLD : COLOR_RED;
  const int M = BORDER_MARGIN;
  const TPoint Points[5] = {
      {M, M}, {M, ImageHeight - M}, {ImageWidth - M, ImageHeight - M}, {ImageWidth - M, M}, {M, M}};
  CanvasPolyline(Canvas, Points, 5);
}

void DrawCenteredText(TCanvas& Canvas, const TRect& CellRect, const std::string& Text) {
  if (Text.empty()) return;
  const int Width = CanvasTextWidth(Canvas, Text);
  const int Height = CanvasTextHeight(Canvas, Text);
  const int X = CellRect.Left + (CellRect.Right - CellRect.Left - Width) / 2;
  const int Y = CellRect.Top + (CellRect.Bottom - CellRect.Top - Height) / 2;
  CanvasTextOut(Canvas, X, Y, Text);
}

void DisableClearType(TCanvas& Canvas) {
  Canvas.Font.Antialiased = false;
}

void QCDecodeOID(const std::string& OID, std::string& QCTube, std::string& QCLot,
                 std::string& QCExpStr) {
  QCTube.clear();
  QCLot.clear();
  QCExpStr.clear();
  if (!platform::StartsWith(OID, "QC") || platform::Utf8Length(OID) != 14 ||
      platform::Contains(OID, " ") || platform::Contains(OID, "-")) {
    QCTube = OID;
    return;
  }
  const std::string Code =
      platform::Utf8Mid(OID, platform::Contains(OID, "TDAQC") ? 6 : 2, std::string::npos);
  // Characters of the code are counted from 1.
  const auto Chars = [&](size_t From, size_t Count) {
    return platform::Utf8Mid(Code, From - 1, Count);
  };
  const int NbJours = platform::StrToIntDef(Chars(2, 3), 0);
  const std::string YearChar = Chars(5, 1);
  const int YearUnite =
      YearChar.size() == 1 && platform::IsAsciiDigit(YearChar[0]) ? YearChar[0] - '0' : 0;
  QCTube = TranslateQCTube(Chars(6, 1));
  QCLot = Chars(10, 2);

  const int CurrentYear = platform::DecodeDateTime(platform::Now()).Year;
  int YearPerdate = CurrentYear / 10 * 10 + YearUnite;
  if (YearPerdate < CurrentYear - 2) YearPerdate += 10;
  TDateTime FirstOfYear = 0;
  if (platform::TryEncodeDate(YearPerdate, 1, 1, FirstOfYear)) {
    QCExpStr = platform::FormatDateTime("dd/mm/yyyy", FirstOfYear + NbJours);
  }
}
