// Lot reports: the lot list, due dates, existing reports, report and file
// names, printing every reading, archiving, and failures of the pass. The
// converter is replaced by a fake that writes the PDF.
#include <filesystem>
#include <stdexcept>

#include "QCFixture.h"
#include "platform/Files.h"
#include "platform/SystemNames.h"

namespace {

using namespace qc_test;
using testing_support::ReadAll;
using testing_support::WriteAll;

struct TConverterCall {
  std::string program;
  std::vector<std::string> args;
  std::string psText;
};

class QCLotReportsTest : public QCTest {
 protected:
  void SetUp() override {
    QCTest::SetUp();
    InitQCManager(cfg_);
    // Ghostscript beside the executable, under this system's name: the runner
    // below stands in for running it.
    WriteAll(Ghostscript(), "stand-in");
    SetConverterRunnerForTesting([this](const std::string& program,
                                        const std::vector<std::string>& args, int64_t) {
      TConverterCall call{program, args, ReadAll(args.back())};
      calls_.push_back(call);
      platform::TSpawnResult result = next_;
      if (writePdf_) {
        const std::string out = args[args.size() - 2].substr(std::string("-sOutputFile=").size());
        WriteAll(platform::ReplaceAll(out, "%%", "%"), "%PDF-1.4 fake");
      }
      return result;
    });
    next_.Kind = platform::TSpawnResult::TKind::exited;
  }

  void WriteLog(const std::vector<TQCLine>& lines, const std::string& extra = "") {
    std::string bytes;
    for (const TQCLine& l : lines) bytes += platform::Utf8ToAnsi(SerializeQCLine(l)) + "\r\n";
    WriteAll(QCLog(), bytes + extra);
  }
  std::string Ghostscript() const { return cfg_.ExeFolder + platform::GhostscriptProgramName(); }
  std::string Report(const std::string& name) const {
    return platform::JoinPath(cfg_.QCReportDest, name);
  }

  std::vector<TConverterCall> calls_;
  platform::TSpawnResult next_;
  bool writePdf_ = true;
};

TEST_F(QCLotReportsTest, CollectsDistinctLotsWithoutCase) {
  TQCLine noLot = MakeLine("", "14/03/2025");
  WriteLog({MakeLine("l1", "14/03/2025"), MakeLine("B2", ""), MakeLine("L1", "14/03/2025"),
            MakeLine("L1", "15/03/2025"), MakeLine("a0", "01/01/2025"), noLot},
           "\r\n   \r\n|||\"never closed|x\r\ntorn|li");
  const TUniqueStringList lots = CollectLots(QCLog());
  EXPECT_EQ(lots.Items(),
            (std::vector<std::string>{"a0=01/01/2025", "B2=", "l1=14/03/2025", "L1=15/03/2025"}));
  EXPECT_EQ(CollectLots(Path("missing.txt")).Count(), 0);
}

TEST_F(QCLotReportsTest, ReportsALotFromItsTriggerDayAndArchivesExactlyItsLines) {
  WriteLog({MakeLine("L-1", "14/03/2025", "OK", "1"), MakeLine("L-2", "20/03/2025"),
            MakeLine("l-1", "14/03/2025", "NOK", "2")});
  const std::string before = ReadAll(QCLog());

  SetClock(At(2025, 3, 15, 23, 59, 59));  // the day before: not due
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);
  EXPECT_TRUE(calls_.empty());
  EXPECT_NE(DebugLog().find("[QC] Lot L-1 — rapport prévu le 16/03/2025"), std::string::npos);
  EXPECT_EQ(ReadAll(QCLog()), before);

  SetClock(At(2025, 3, 16, 0, 0, 1));
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 1);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_NE(calls_[0].psText.find("Total: 2) show"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(Report("QC_Report_L-1_20250316.pdf")));
  EXPECT_FALSE(std::filesystem::exists(Report("QC_Report_L-1_20250316.ps")));
  const std::vector<std::string> kept = QCLogLines();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ParseQCLine(kept[0]).K7Lot, "L-2");

  const std::string log = ServiceLog();
  EXPECT_NE(log.find("[QC] Génération rapport lot L-1 (expiré 14/03/2025 + 2 j)"),
            std::string::npos);
  EXPECT_NE(log.find("[QC] PS généré — QC_Report_L-1_20250316.ps"), std::string::npos);
  EXPECT_NE(
      log.find("[QC] Rapport QC - Lot: L-1 | Lignes: 2 | Fichier: QC_Report_L-1_20250316.pdf"),
      std::string::npos);
  EXPECT_NE(log.find("[QC] Lot L-1 archivé — 2 ligne(s) supprimée(s) de QC\\log.txt"),
            std::string::npos);
  EXPECT_NE(log.find("[QC] 1 rapport(s) QC généré(s)"), std::string::npos);

  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);  // reported once
}

TEST_F(QCLotReportsTest, OneReportTakesEveryDateOfTheLot) {
  WriteLog({MakeLine("L", "14/03/2025"), MakeLine("L", "15/03/2025"), MakeLine("M", "bad")});
  SetClock(At(2025, 3, 17, 9));
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 1);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_NE(calls_[0].psText.find("Total: 2) show"), std::string::npos);
  EXPECT_NE(DebugLog().find("[QC] Rapport déjà existant pour lot : L"), std::string::npos);
  EXPECT_NE(ServiceLog().find("[WARNING ] [QC] Date expiration invalide lot M : \"bad\""),
            std::string::npos);
  EXPECT_EQ(QCLogLines().size(), 1u);
}

TEST_F(QCLotReportsTest, ExistingReportMatchesOnlyTheLotsOwnName) {
  std::filesystem::create_directories(cfg_.QCReportDest +
                                      "/QC_Report_L1_20250301.pdf");  // a folder
  for (const char* name :
       {"QC_Report_L11_20250301.pdf", "QC_Report_L1_2025030.pdf", "QC_Report_L1_20250301.pdf.bak",
        "x_QC_Report_L1_20250301.pdf", "QC_Report_L1_2025030a.pdf", "QC_Report_L1_20250301.ps"}) {
    WriteAll(Report(name), "x");
  }
  EXPECT_FALSE(ReportExists(cfg_.QCReportDest, "L1"));
  EXPECT_TRUE(ReportExists(cfg_.QCReportDest, "L11"));
  EXPECT_TRUE(ReportExists(cfg_.QCReportDest, "l11"));
  WriteAll(Report("qc_report_l1_20250302.PDF"), "x");
  EXPECT_TRUE(ReportExists(cfg_.QCReportDest, "L1"));
  EXPECT_FALSE(ReportExists(Path("nowhere"), "L1"));

  // L1 is reported although a report of L11 exists.
  std::filesystem::remove(Report("qc_report_l1_20250302.PDF"));
  WriteLog({MakeLine("L1", "14/03/2025"), MakeLine("L11", "14/03/2025")});
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 1);
  EXPECT_TRUE(std::filesystem::exists(Report("QC_Report_L1_20250316.pdf")));
  ASSERT_EQ(QCLogLines().size(), 1u);
  EXPECT_EQ(ParseQCLine(QCLogLines()[0]).K7Lot, "L11");
}

TEST_F(QCLotReportsTest, LotTextStaysInsideTheReportFolderAndOutOfGhostscriptFormats) {
  WriteLog({MakeLine("../A\\B%d", "14/03/2025"), MakeLine("K=V", "14/03/2025")});
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 2);
  ASSERT_EQ(calls_.size(), 2u);
  // Separators made "_", and a hash of the lot that keeps the name its own.
  const std::string pdf = Report("QC_Report_.._A_B%d~934f2e1a_20250316.pdf");
  EXPECT_EQ(calls_[0].program, Ghostscript());
  EXPECT_EQ(calls_[0].args,
            (std::vector<std::string>{
                "-dBATCH", "-dNOPAUSE", "-dQUIET", "-dSAFER", "-sDEVICE=pdfwrite",
                "-dPDFSETTINGS=/printer", "-dCompatibilityLevel=1.4",
                "-sOutputFile=" + Report(".QC_Report_.._A_B%%d~934f2e1a_20250316.pdf.part"),
                Report("QC_Report_.._A_B%d~934f2e1a_20250316.ps")}));
  EXPECT_TRUE(std::filesystem::exists(pdf));
  // The title keeps the lot as written.
  EXPECT_NE(calls_[0].psText.find("(QC Report - Lot: ../A\\\\B%d   16/03/2025  Page 1/1)"),
            std::string::npos);
  // A lot holding "=" keeps its date.
  EXPECT_TRUE(std::filesystem::exists(Report("QC_Report_K=V_20250316.pdf")));
  EXPECT_TRUE(QCLogLines().empty());

  EXPECT_EQ(GhostscriptArguments("rel/a.ps", "-x.pdf").back(), "./rel/a.ps");
  EXPECT_EQ(GhostscriptArguments("rel/a.ps", "-x.pdf")[7], "-sOutputFile=./-x.pdf");
}

TEST_F(QCLotReportsTest, LotsWhoseNamesWouldClashOrOverflowGetReportsOfTheirOwn) {
  const std::string longLot(150, 'L');
  WriteLog({MakeLine("A_B", "14/03/2025"), MakeLine("a/b", "14/03/2025"),
            MakeLine(longLot, "14/03/2025"), MakeLine("Z-9", "14/03/2025")});
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 4);
  EXPECT_TRUE(std::filesystem::exists(Report("QC_Report_A_B_20250316.pdf")));
  EXPECT_TRUE(std::filesystem::exists(Report("QC_Report_a_b~3a8e75c1_20250316.pdf")));
  EXPECT_TRUE(std::filesystem::exists(
      Report("QC_Report_" + std::string(91, 'L') + "~b3cddee5_20250316.pdf")));
  EXPECT_TRUE(std::filesystem::exists(Report("QC_Report_Z-9_20250316.pdf")));
  EXPECT_TRUE(QCLogLines().empty());
  // The same lot in other letters finds its report.
  EXPECT_TRUE(ReportExists(cfg_.QCReportDest, "A/B"));
  EXPECT_TRUE(ReportExists(cfg_.QCReportDest, std::string(150, 'l')));
  EXPECT_FALSE(ReportExists(cfg_.QCReportDest, std::string(151, 'L')));
}

TEST_F(QCLotReportsTest, LeftoversOfAnInterruptedRunAreRemovedAtTheNextCheck) {
  std::filesystem::create_directories(cfg_.QCReportDest);
  WriteAll(Report("QC_Report_L-1_20250315.ps"), "%!PS-Adobe-3.0\r\n");
  WriteAll(Report(".QC_Report_L-1_20250315.pdf.part"), "%PDF-1.4 trunc");
  WriteAll(Report("notes.ps"), "not ours");
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);  // no QC log at all
  EXPECT_FALSE(std::filesystem::exists(Report("QC_Report_L-1_20250315.ps")));
  EXPECT_FALSE(std::filesystem::exists(Report(".QC_Report_L-1_20250315.pdf.part")));
  EXPECT_TRUE(std::filesystem::exists(Report("notes.ps")));
}

TEST_F(QCLotReportsTest, PrintsEveryReadingOfAVeryLargeLot) {
  std::vector<TQCLine> lines;
  for (int i = 0; i < 10050; ++i) lines.push_back(MakeLine("BIG", "14/03/2025", "OK"));
  lines.push_back(MakeLine("OTHER", "14/04/2025"));
  WriteLog(lines);
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 1);
  ASSERT_EQ(calls_.size(), 1u);
  const std::string& ps = calls_[0].psText;
  EXPECT_EQ(Count(ps, "(BIG) show"), 10050u);
  EXPECT_NE(ps.find("%%Pages: 122\r\n"), std::string::npos);
  EXPECT_NE(ps.find("(End of report  |  OK: 10050  NOK: 0  Total: 10050) show"), std::string::npos);
  EXPECT_EQ(QCLogLines().size(), 1u);

  std::vector<TQCLine> some;
  EXPECT_EQ(ExtractLotLines(QCLog(), "other", some, 0), 1);  // counts beyond the capacity
  EXPECT_TRUE(some.empty());
}

TEST_F(QCLotReportsTest, ArchivingKeepsOtherLinesByteForByte) {
  const std::string other = platform::Utf8ToAnsi(SerializeQCLine(MakeLine("Lé", "14/03/2025")));
  const std::string mine = platform::Utf8ToAnsi(SerializeQCLine(MakeLine("l-1", "14/03/2025")));
  WriteAll(QCLog(), other + "\r\n" + mine + "\r\n\r\n  \r\ntorn|li\n" + mine + "\r" +
                        "\x81\x9D odd bytes|\"open quote\r\n" + mine);
  ArchiveLotLines(QCLog(), "L-1");
  EXPECT_EQ(ReadAll(QCLog()), other + "\r\ntorn|li\r\n\x81\x9D odd bytes|\"open quote\r\n");
  EXPECT_NE(ServiceLog().find("Lot L-1 archivé — 3 ligne(s) supprimée(s)"), std::string::npos);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cfg_.ExeFolder + "QC"),
                          std::filesystem::directory_iterator()),
            1);  // no temporary file left

  const auto stamp = std::filesystem::last_write_time(QCLog());
  ArchiveLotLines(QCLog(), "L-1");  // nothing to remove: untouched
  EXPECT_EQ(std::filesystem::last_write_time(QCLog()), stamp);
  std::filesystem::remove(QCLog());
  ArchiveLotLines(QCLog(), "L-1");
  EXPECT_FALSE(std::filesystem::exists(QCLog()));
}

TEST_F(QCLotReportsTest, FailedConversionKeepsLinesAndRetries) {
  WriteLog({MakeLine("L-1", "14/03/2025")});
  const std::string before = ReadAll(QCLog());
  next_.ExitCode = 1;
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);
  EXPECT_EQ(ReadAll(QCLog()), before);
  EXPECT_TRUE(std::filesystem::is_empty(cfg_.QCReportDest));  // no PS, no partial PDF
  const std::string errors = ErrorLog();
  EXPECT_NE(errors.find("[QC] Ghostscript erreur code 1"), std::string::npos);
  // The arrow has no Windows-1252 form: the log file holds "?".
  EXPECT_NE(errors.find("[QC] Échec conversion PS?PDF pour lot : L-1"), std::string::npos);

  // A run killed at the deadline leaves no PDF that would pass for the report.
  next_.Kind = platform::TSpawnResult::TKind::timed_out;
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);
  EXPECT_NE(ErrorLog().find("[QC] Timeout Ghostscript (60s)"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(cfg_.QCReportDest));

  // Exit code 0 without a PDF is a failure too.
  next_.Kind = platform::TSpawnResult::TKind::exited;
  next_.ExitCode = 0;
  writePdf_ = false;
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);
  writePdf_ = true;
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 1);
  EXPECT_EQ(calls_.size(), 4u);
  EXPECT_TRUE(QCLogLines().empty());

  bool sawError = false;
  for (const auto& e : sink_->Events()) sawError = sawError || e.EventId == EVT_QC_ERROR;
  EXPECT_TRUE(sawError);
}

TEST_F(QCLotReportsTest, UncreatableReportFolderEndsThePassAndKeepsLines) {
  WriteLog({MakeLine("L-1", "14/03/2025"), MakeLine("L-2", "14/03/2025")});
  const std::string before = ReadAll(QCLog());
  WriteAll(Path("blocker"), "x");
  cfg_.QCReportDest = Path("blocker/reports");
  EXPECT_THROW(CheckAndGenerateReports(cfg_), std::runtime_error);
  cfg_.QCReportDest = "";
  EXPECT_THROW(CheckAndGenerateReports(cfg_), std::runtime_error);
  EXPECT_EQ(ReadAll(QCLog()), before);
  EXPECT_TRUE(calls_.empty());
}

TEST_F(QCLotReportsTest, VanishedLogIsNoReport) {
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);  // no log at all
  EXPECT_FALSE(GenerateReportForLot(QCLog(), "L-1", cfg_.QCReportDest));
  EXPECT_NE(ServiceLog().find("[WARNING ] [QC] Aucune ligne trouvée pour le lot : L-1"),
            std::string::npos);
  EXPECT_TRUE(calls_.empty());
}

}  // namespace
