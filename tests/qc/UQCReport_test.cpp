// The PostScript document of a lot report: the exact bytes of a small
// document, page breaks, escaping and column fitting.
#include <filesystem>
#include <stdexcept>

#include "QCFixture.h"

namespace {

using namespace qc_test;
using testing_support::ReadAll;

// Joins lines with CR LF, each line ended.
std::string CrLf(const std::string& lf) {
  std::string out;
  for (const char c : lf) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

const char* const kSmallDocument = R"(%!PS-Adobe-3.0
%%BoundingBox: 0 0 595 842
%%Pages: 1
%%Orientation: Landscape
%%EndComments
%%Orientation: Portrait
%%EndComments
%%BeginProlog
/ReEncodeLatin1 {
  dup findfont dup length dict begin
    { 1 index /FID ne { def } { pop pop } ifelse } forall
    /Encoding ISOLatin1Encoding 256 array copy
      dup 39 /quotesingle put dup 45 /hyphen put dup 96 /grave put def
    currentdict
  end definefont pop
} bind def
/Helvetica ReEncodeLatin1 /Helvetica-Bold ReEncodeLatin1
%%EndProlog
%%Page: 1 1
1 setgray
0 0 595 842 rectfill
0 setgray
/Helvetica-Bold findfont 9 scalefont setfont
1 setgray
20 812 539 13 rectfill
0.2 0.4 0.7 setrgbcolor
20 812 539 13 rectfill
1 setgray
22 814 moveto
(QC Report - Lot: L\(1\)\351   16/03/2025  Page 1/1) show
0 setgray
/Helvetica-Bold findfont 7 scalefont setfont
0.85 setgray
20 799 539 11 rectfill
0 setgray
21 801 moveto
(Date Time) show
81 801 moveto
(InstrID) show
116 801 moveto
(Lot) show
192 801 moveto
(QCperdate) show
230 801 moveto
(Tub) show
244 801 moveto
(K7ID) show
272 801 moveto
(K7Lot) show
300 801 moveto
(TestCode) show
338 801 moveto
(Res) show
360 801 moveto
(col) show
374 801 moveto
(Reactif) show
416 801 moveto
(Grade) show
438 801 moveto
(QCVal) show
460 801 moveto
(Check) show
482 801 moveto
(Action) show
525 801 moveto
(User) show
0.5 setlinewidth
20 799 moveto
559 799 lineto stroke
/Helvetica findfont 6 scalefont setfont
0.95 0.97 1 setrgbcolor
20 787 539 9 rectfill
0.7 1 0.7 setrgbcolor
459 787 22 9 rectfill
0 setgray
/Helvetica findfont 6 scalefont setfont
21 788 moveto
(15/03/2025 08:30:00) show
81 788 moveto
(IH500-1) show
116 788 moveto
(QC ABO NIV 1) show
192 788 moveto
(14/03/2025) show
230 788 moveto
(1) show
244 788 moveto
(K7000123) show
272 788 moveto
(L\(1\)\351) show
300 788 moveto
(ABO) show
338 788 moveto
(A+) show
360 788 moveto
(1) show
374 788 moveto
(Anti-A) show
416 788 moveto
(4+) show
438 788 moveto
(4+) show
460 788 moveto
(OK) show
482 788 moveto
() show
525 788 moveto
() show
0.8 setgray 0.2 setlinewidth
20 787 moveto
559 787 lineto stroke
0 setgray
1 0.6 0.6 setrgbcolor
459 778 22 9 rectfill
0 setgray
/Helvetica findfont 6 scalefont setfont
21 779 moveto
(15/03/2025 08:30:00) show
81 779 moveto
(IH500-1) show
116 779 moveto
(QC ABO NIV 1) show
192 779 moveto
(14/03/2025) show
230 779 moveto
(2) show
244 779 moveto
(K700012~) show
272 779 moveto
(L\(1\)\351) show
300 779 moveto
(ABO) show
338 779 moveto
(A+) show
360 779 moveto
(1) show
374 779 moveto
(Anti-A) show
416 779 moveto
(0) show
438 779 moveto
(4+) show
460 779 moveto
(NOK) show
482 779 moveto
(Refait \(2x\)) show
525 779 moveto
(Zo\351 C:\\) show
0.8 setgray 0.2 setlinewidth
20 778 moveto
559 778 lineto stroke
0 setgray
0.9 setgray
20 15 539 12 rectfill
0 setgray
/Helvetica findfont 6 scalefont setfont
22 18 moveto
(End of report  |  OK: 1  NOK: 1  Total: 2) show
showpage
%%EOF
)";

class QCReportTest : public QCTest {
 protected:
  std::string Generate(const std::vector<TQCLine>& lines, const std::string& lot = "L-1") {
    const std::string ps = Path("out/report.ps");
    EXPECT_TRUE(GeneratePSReport(lines, static_cast<int>(lines.size()), lot, ps));
    return ReadAll(ps);
  }
  static std::vector<TQCLine> Readings(int n) {
    std::vector<TQCLine> lines;
    for (int i = 0; i < n; ++i) lines.push_back(MakeLine("L-1", "14/03/2025", "", "1"));
    return lines;
  }
};

TEST_F(QCReportTest, WritesTheSmallDocumentByteForByte) {
  std::vector<TQCLine> lines = {MakeLine("L(1)é", "14/03/2025", "OK", "1"),
                                MakeLine("L(1)é", "14/03/2025", "NOK", "2")};
  lines[1].K7ID = "K700012345";  // ten characters in an eight-character column
  lines[1].Grade = "0";
  lines[1].Action = "Refait (2x)";
  lines[1].User = "Zoé C:\\";
  EXPECT_EQ(Generate(lines, "L(1)é"), CrLf(kSmallDocument));
}

TEST_F(QCReportTest, BreaksPagesAfter83Rows) {
  const std::string one = Generate(Readings(83));
  EXPECT_NE(one.find("%%Pages: 1\r\n"), std::string::npos);
  EXPECT_EQ(Count(one, "%%Page: "), 1u);
  EXPECT_EQ(Count(one, "showpage"), 1u);
  EXPECT_NE(one.find("21 50 moveto\r\n"), std::string::npos);  // the 83rd row
  EXPECT_EQ(one.find("21 41 moveto\r\n"), std::string::npos);

  const std::string two = Generate(Readings(84));
  EXPECT_NE(two.find("%%Pages: 2\r\n"), std::string::npos);
  EXPECT_NE(two.find("%%Page: 1 2\r\n"), std::string::npos);
  EXPECT_NE(two.find("(QC Report - Lot: L-1   16/03/2025  Page 2/2) show"), std::string::npos);
  // Page 2 starts after the 83rd row's closing lines; the 84th reading (index
  // 83, odd) sits alone at the top without the light band.
  const std::string pageTwo =
      "20 49 moveto\r\n559 49 lineto stroke\r\n0 setgray\r\nshowpage\r\n%%Page: 2 2\r\n";
  ASSERT_NE(two.find(pageTwo), std::string::npos);
  const std::string afterHeader =
      "559 799 lineto stroke\r\n/Helvetica findfont 6 scalefont setfont\r\n0 setgray\r\n"
      "/Helvetica findfont 6 scalefont setfont\r\n21 788 moveto\r\n";
  EXPECT_NE(two.find(afterHeader, two.find(pageTwo)), std::string::npos);
  EXPECT_EQ(Count(two, "showpage"), 2u);
  EXPECT_NE(two.find("(End of report  |  OK: 0  NOK: 0  Total: 84) show"), std::string::npos);

  // Bands count rows over the whole report: index 84 is even.
  const std::string three = Generate(Readings(85));
  EXPECT_NE(three.find("0.95 0.97 1 setrgbcolor\r\n20 778 539 9 rectfill\r\n"), std::string::npos);
}

TEST(QCReportText, EscapesForPostScriptStrings) {
  EXPECT_EQ(PSStr("a(b)c\\d é"), "a\\(b\\)c\\\\d \\351");
  EXPECT_EQ(PSStr(std::string("\x01\x7F", 2)), "\\001\\177");
  EXPECT_EQ(PSStr("€"), "\\20254");                          // above 511: more than three digits
  EXPECT_EQ(PSStr("\xF0\x9F\x98\x80"), "\\154075\\157000");  // a UTF-16 pair
  EXPECT_EQ(PSStr("~ |"), "~ |");
}

TEST(QCReportText, FitsTextsToColumns) {
  EXPECT_EQ(TruncCol("K700012345", 28), "K700012~");
  EXPECT_EQ(TruncCol("K7000123", 28), "K7000123");
  EXPECT_EQ(TruncCol("16/03/2025 10:20:30", 60), "16/03/2025 10:20:30");
  EXPECT_EQ(TruncCol("16/03/2025 10:20:301", 60), "16/03/2025 10:20:3~");
  EXPECT_EQ(TruncCol("éééééééééé", 28), "ééééééé~");  // characters, not bytes
  EXPECT_EQ(TruncCol("", 14), "");
}

TEST_F(QCReportTest, ReportsWriteFailuresAndThrowsWhenTheFileCannotBeCreated) {
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_FALSE(GeneratePSReport(Readings(3), 3, "L-1", "/dev/full"));
    EXPECT_NE(ErrorLog().find("[QC] Erreur génération PS : "), std::string::npos);
  }
  testing_support::WriteAll(Path("file"), "x");
  EXPECT_THROW(GeneratePSReport(Readings(1), 1, "L-1", Path("file/sub/report.ps")),
               std::runtime_error);
  EXPECT_THROW(GeneratePSReport(Readings(1), 1, "L-1", Path("file/report.ps")), std::runtime_error);
}

}  // namespace
