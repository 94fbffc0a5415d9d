// The PostScript document of one QC lot report: A4 portrait pages with a
// title band, a column header, one 16-column row per reading, 83 rows per
// page, coloured verdict cells, and a summary footer on the last page.
#include <algorithm>
#include <array>
#include <stdexcept>

#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "qc/UQCReport.h"

using platform::Format;

namespace {

constexpr const char* kCat = "QC";

// Page geometry in PostScript points, origin at the bottom left.
constexpr int PAGE_W = 595;
constexpr int PAGE_H = 842;
constexpr int MARGIN_L = 20;
constexpr int TITLE_SZ = 9;
constexpr int HDR_SZ = 7;
constexpr int FONT_SZ = 6;
constexpr int LINE_H = 9;
constexpr int NCOLS = 16;
constexpr int RowsPerPg = 83;

// Y of the first row of a page, and of the bands above it.
constexpr int TOP_ROW_Y = 788;
constexpr int HEADER_Y = 799;
constexpr int TITLE_Y = 812;

constexpr std::array<const char*, NCOLS> COL_LABELS = {
    "Date Time", "InstrID", "Lot",     "QCperdate", "Tub",   "K7ID",  "K7Lot",  "TestCode",
    "Res",       "col",     "Reactif", "Grade",     "QCVal", "Check", "Action", "User"};
constexpr std::array<int, NCOLS> COL_WIDTHS = {60, 35, 76, 38, 14, 28, 28, 38,
                                               22, 14, 42, 22, 22, 22, 43, 35};
// The printed field of each column.
std::string TQCLine::*const COL_FIELDS[NCOLS] = {
    &TQCLine::RDResult,   &TQCLine::InstrID, &TQCLine::Lot,     &TQCLine::QCPerDate,
    &TQCLine::Tub,        &TQCLine::K7ID,    &TQCLine::K7Lot,   &TQCLine::TestCode,
    &TQCLine::TestResult, &TQCLine::WellNr,  &TQCLine::Reagent, &TQCLine::Grade,
    &TQCLine::QCVal1,     &TQCLine::Check1,  &TQCLine::Action,  &TQCLine::User};
constexpr int CHECK_COL = 13;  // 0-based index of "Check"

constexpr std::array<int, NCOLS> MakeColX() {
  std::array<int, NCOLS> x{};
  x[0] = MARGIN_L;
  for (int c = 1; c < NCOLS; ++c) x[c] = x[c - 1] + COL_WIDTHS[c - 1];
  return x;
}
constexpr std::array<int, NCOLS> ColX = MakeColX();
constexpr int TableW = ColX[NCOLS - 1] + COL_WIDTHS[NCOLS - 1] - MARGIN_L;
static_assert(TableW == 539, "the table spans 20 to 559");

// Gives Helvetica and Helvetica-Bold the ISO Latin-1 encoding, the one the
// octal escapes of PSStr are codes of ("\351" is "é"); the standard encoding
// of the base fonts would print other characters for every accent. The
// apostrophe, the hyphen and the back quote keep their plain forms (that
// encoding has curly quotes and a minus sign there).
constexpr std::array<const char*, 11> PROLOG = {
    "%%BeginProlog",
    "/ReEncodeLatin1 {",
    "  dup findfont dup length dict begin",
    "    { 1 index /FID ne { def } { pop pop } ifelse } forall",
    "    /Encoding ISOLatin1Encoding 256 array copy",
    "      dup 39 /quotesingle put dup 45 /hyphen put dup 96 /grave put def",
    "    currentdict",
    "  end definefont pop",
    "} bind def",
    "/Helvetica ReEncodeLatin1 /Helvetica-Bold ReEncodeLatin1",
    "%%EndProlog"};

// Lines reach the file in appends of about this size.
constexpr size_t kFlushBytes = 1 << 20;

void Flush(TPSDocument& Doc) {
  if (Doc.Buffer.empty()) return;
  if (Doc.Error.empty()) {
    const platform::TOsResult r = platform::AppendToFile(Doc.FilePath, Doc.Buffer);
    if (!r.Ok()) Doc.Error = r.Text;
  }
  Doc.Buffer.clear();
}

std::string Rect(int x, int y, int w, int h) {
  return Format("%d %d %d %d rectfill", x, y, w, h);
}

std::string Show(const std::string& text) {
  return "(" + text + ") show";
}

void AppendOctal(std::string& out, unsigned code) {
  out += Format("\\%03o", code);
}

}  // namespace

std::string PSStr(const std::string& S) {
  std::string out;
  out.reserve(S.size() + 8);
  for (const char32_t cp : platform::Utf8CodePoints(S)) {
    if (cp == '(' || cp == ')' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp >= 32 && cp <= 126) {
      out += static_cast<char>(cp);
    } else if (cp > 0xFFFF) {
      // Beyond the 16-bit range: each half of its UTF-16 surrogate pair.
      const char32_t v = cp - 0x10000;
      AppendOctal(out, static_cast<unsigned>(0xD800 + (v >> 10)));
      AppendOctal(out, static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
    } else {
      AppendOctal(out, static_cast<unsigned>(cp));
    }
  }
  return out;
}

std::string TruncCol(const std::string& S, int ColW) {
  const size_t maxCh = static_cast<size_t>(std::max(0, (ColW - 2) / 3));
  if (platform::Utf8Length(S) <= maxCh) return S;
  return platform::Utf8Left(S, maxCh > 0 ? maxCh - 1 : 0) + "~";
}

void WriteLine(TPSDocument& Doc, const std::string& Line) {
  if (!Doc.Error.empty()) return;
  Doc.Buffer += Line;
  Doc.Buffer += "\r\n";
  if (Doc.Buffer.size() >= kFlushBytes) Flush(Doc);
}

void NewPage(TPSDocument& Doc, int PageNo) {
  if (PageNo > 1) WriteLine(Doc, "showpage");
  WriteLine(Doc, Format("%%%%Page: %d %d", PageNo, Doc.PageCount));
  WriteLine(Doc, "1 setgray");
  WriteLine(Doc, Rect(0, 0, PAGE_W, PAGE_H));
  WriteLine(Doc, "0 setgray");
  WriteLine(Doc, Format("/Helvetica-Bold findfont %d scalefont setfont", TITLE_SZ));
  // The title band is filled white first, then blue.
  WriteLine(Doc, "1 setgray");
  WriteLine(Doc, Rect(MARGIN_L, TITLE_Y, TableW, 13));
  WriteLine(Doc, "0.2 0.4 0.7 setrgbcolor");
  WriteLine(Doc, Rect(MARGIN_L, TITLE_Y, TableW, 13));
  WriteLine(Doc, "1 setgray");
  WriteLine(Doc, Format("%d %d moveto", MARGIN_L + 2, TITLE_Y + 2));
  WriteLine(Doc, Show("QC Report - Lot: " + PSStr(Doc.KLot) + "   " +
                      PSStr(platform::FormatDateTime("dd/mm/yyyy", platform::Now())) +
                      Format("  Page %d/%d", PageNo, Doc.PageCount)));
  WriteLine(Doc, "0 setgray");
  WriteLine(Doc, Format("/Helvetica-Bold findfont %d scalefont setfont", HDR_SZ));
  WriteLine(Doc, "0.85 setgray");
  WriteLine(Doc, Rect(MARGIN_L, HEADER_Y, TableW, 11));
  WriteLine(Doc, "0 setgray");
  for (int c = 0; c < NCOLS; ++c) {
    WriteLine(Doc, Format("%d %d moveto", ColX[c] + 1, HEADER_Y + 2));
    WriteLine(Doc, Show(PSStr(TruncCol(COL_LABELS[c], COL_WIDTHS[c]))));
  }
  WriteLine(Doc, "0.5 setlinewidth");
  WriteLine(Doc, Format("%d %d moveto", MARGIN_L, HEADER_Y));
  WriteLine(Doc, Format("%d %d lineto stroke", TableW + MARGIN_L, HEADER_Y));
}

bool GeneratePSReport(const std::vector<TQCLine>& Lines, int LineCount, const std::string& KLot,
                      const std::string& PSFile) {
  const int count = std::clamp(LineCount, 0, static_cast<int>(Lines.size()));

  // Failing to create the folder or the file ends the caller's whole pass.
  const std::string folder = platform::ExtractFileDir(PSFile);
  if (!folder.empty()) {
    const platform::TOsResult r = platform::MakeFolders(folder);
    if (!r.Ok()) throw std::runtime_error("Création dossier rapport QC impossible : " + r.Text);
  }
  if (const platform::TOsResult r = platform::WriteFileBytes(PSFile, ""); !r.Ok()) {
    throw std::runtime_error("Création fichier PS impossible : " + r.Text);
  }

  TPSDocument doc;
  doc.FilePath = PSFile;
  doc.KLot = KLot;
  doc.PageCount = std::max(1, (count + RowsPerPg - 1) / RowsPerPg);
  int okCount = 0, nokCount = 0;
  for (int i = 0; i < count; ++i) {
    if (Lines[static_cast<size_t>(i)].Check1 == "OK") ++okCount;
    if (Lines[static_cast<size_t>(i)].Check1 == "NOK") ++nokCount;
  }
  const std::string rowFont = Format("/Helvetica findfont %d scalefont setfont", FONT_SZ);

  WriteLine(doc, "%!PS-Adobe-3.0");
  WriteLine(doc, Format("%%%%BoundingBox: 0 0 %d %d", PAGE_W, PAGE_H));
  WriteLine(doc, Format("%%%%Pages: %d", doc.PageCount));
  WriteLine(doc, "%%Orientation: Landscape");
  WriteLine(doc, "%%EndComments");
  WriteLine(doc, "%%Orientation: Portrait");
  WriteLine(doc, "%%EndComments");
  for (const char* line : PROLOG) WriteLine(doc, line);

  int page = 1;
  NewPage(doc, page);
  int y = TOP_ROW_Y;
  WriteLine(doc, rowFont);
  for (int i = 0; i < count; ++i) {
    const TQCLine& line = Lines[static_cast<size_t>(i)];
    if (i > 0 && i % RowsPerPg == 0) {
      NewPage(doc, ++page);
      y = TOP_ROW_Y;
      WriteLine(doc, rowFont);
    }
    // Even rows, counted over the whole report, sit on a light band.
    if (i % 2 == 0) {
      WriteLine(doc, "0.95 0.97 1 setrgbcolor");
      WriteLine(doc, Rect(MARGIN_L, y - 1, TableW, LINE_H));
    }
    if (line.Check1 == "OK") {
      WriteLine(doc, "0.7 1 0.7 setrgbcolor");
      WriteLine(doc, Rect(ColX[CHECK_COL], y - 1, COL_WIDTHS[CHECK_COL], LINE_H));
    } else if (line.Check1 == "NOK") {
      WriteLine(doc, "1 0.6 0.6 setrgbcolor");
      WriteLine(doc, Rect(ColX[CHECK_COL], y - 1, COL_WIDTHS[CHECK_COL], LINE_H));
    }
    WriteLine(doc, "0 setgray");
    WriteLine(doc, rowFont);
    for (int c = 0; c < NCOLS; ++c) {
      WriteLine(doc, Format("%d %d moveto", ColX[c] + 1, y));
      WriteLine(doc, Show(PSStr(TruncCol(line.*COL_FIELDS[c], COL_WIDTHS[c]))));
    }
    WriteLine(doc, "0.8 setgray 0.2 setlinewidth");
    WriteLine(doc, Format("%d %d moveto", MARGIN_L, y - 1));
    WriteLine(doc, Format("%d %d lineto stroke", TableW + MARGIN_L, y - 1));
    WriteLine(doc, "0 setgray");
    y -= LINE_H;
  }

  WriteLine(doc, "0.9 setgray");
  WriteLine(doc, Format("%d 15 %d 12 rectfill", MARGIN_L, TableW));
  WriteLine(doc, "0 setgray");
  WriteLine(doc, rowFont);
  WriteLine(doc, Format("%d 18 moveto", MARGIN_L + 2));
  WriteLine(doc,
            Show(Format("End of report  |  OK: %d  NOK: %d  Total: %d", okCount, nokCount, count)));
  WriteLine(doc, "showpage");
  WriteLine(doc, "%%EOF");
  Flush(doc);

  if (!doc.Error.empty()) {
    LogError(kCat, "Erreur génération PS : " + doc.Error, EVT_QC_ERROR);
    return false;
  }
  return true;
}
