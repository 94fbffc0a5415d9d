// Running Ghostscript: a stand-in "gs" script beside the executable that is
// missing, failing, crashing, hanging or not executable, and one conversion
// by the real Ghostscript whose PDF text is checked.
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/Spawn.h"
#include "qc/QCFixture.h"
#include "support/Process.h"
#include "support/SystemProbes.h"

namespace {

using namespace qc_test;
using testing_support::ProcessRunning;
using testing_support::ReadAll;
using testing_support::WriteAll;

class QCGhostscriptTest : public QCTest {
 protected:
  void SetUp() override {
    QCTest::SetUp();
    const char* path = std::getenv("PATH");
    savedPath_ = path ? path : "";
    InitQCManager(cfg_);
  }
  void TearDown() override {
    testing_support::SetEnvironmentVariable("PATH", savedPath_);
    QCTest::TearDown();
  }
  // A stand-in gs beside the executable running `body`.
  void StandIn(const std::string& body, bool executable = true) {
    const std::string gs = cfg_.ExeFolder + "gs";
    WriteAll(gs, "#!/bin/sh\n" + body + "\n");
    using std::filesystem::perms;
    std::filesystem::permissions(
        gs, executable ? perms::owner_all : perms::owner_read | perms::owner_write);
  }
  void WriteLog(int n, const std::string& lot = "L-1", const std::string& user = "") {
    std::string bytes;
    for (int i = 0; i < n; ++i) {
      TQCLine line = MakeLine(lot, "14/03/2025", i % 3 == 2 ? "NOK" : "OK");
      line.Tub = std::to_string(i % 12 + 1);
      line.User = user;
      bytes += platform::Utf8ToAnsi(SerializeQCLine(line)) + "\r\n";
    }
    WriteAll(QCLog(), bytes);
  }

  std::string savedPath_;
};

TEST_F(QCGhostscriptTest, MissingGhostscriptKeepsTheLinesAndDropsThePostScript) {
  testing_support::SetEnvironmentVariable("PATH", Path("empty"));
  WriteLog(3);
  const std::string before = ReadAll(QCLog());
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);
  EXPECT_NE(ErrorLog().find("[QC] Ghostscript introuvable : " + cfg_.ExeFolder + "gs"),
            std::string::npos);
  EXPECT_EQ(ReadAll(QCLog()), before);
  EXPECT_TRUE(std::filesystem::is_empty(cfg_.QCReportDest));

  // A gs beside the executable comes first; the PATH is the fallback.
  StandIn("exit 0");
  EXPECT_EQ(FindGhostscript(cfg_.ExeFolder), cfg_.ExeFolder + "gs");
  std::filesystem::remove(cfg_.ExeFolder + "gs");
  std::filesystem::create_directories(Path("bin"));
  WriteAll(Path("bin/gs"), "#!/bin/sh\n");
  std::filesystem::permissions(Path("bin/gs"), std::filesystem::perms::owner_all);
  testing_support::SetEnvironmentVariable("PATH", Path("bin"));
  EXPECT_EQ(FindGhostscript(cfg_.ExeFolder), Path("bin/gs"));
}

TEST_F(QCGhostscriptTest, FailingCrashingAndSilentRunsAreFailures) {
  WriteLog(2);
  const std::string before = ReadAll(QCLog());
  // The stand-in records its arguments, as it received them, one per line.
  StandIn("for a in \"$@\"; do echo \"$a\"; done > \"" + Path("args.txt") + "\"; exit 3");
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);
  EXPECT_NE(ErrorLog().find("[QC] Ghostscript erreur code 3"), std::string::npos);
  // Ghostscript writes the PDF under a hidden name until it has ended well.
  const std::string pdf = cfg_.QCReportDest + "/.QC_Report_L-1_20250316.pdf.part";
  EXPECT_EQ(ReadAll(Path("args.txt")),
            "-dBATCH\n-dNOPAUSE\n-dQUIET\n-dSAFER\n-sDEVICE=pdfwrite\n-dPDFSETTINGS=/printer\n"
            "-dCompatibilityLevel=1.4\n-sOutputFile=" +
                pdf + "\n" + cfg_.QCReportDest + "/QC_Report_L-1_20250316.ps\n");

  StandIn("kill -SEGV $$");
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);
  EXPECT_NE(ErrorLog().find("[QC] Ghostscript erreur code 139"), std::string::npos);

  StandIn("exit 0");  // success without a PDF
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);

  StandIn("exit 0", false);
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);
  EXPECT_NE(ErrorLog().find("[QC] Impossible de lancer Ghostscript : "), std::string::npos);

  EXPECT_EQ(ReadAll(QCLog()), before);
  EXPECT_TRUE(std::filesystem::is_empty(cfg_.QCReportDest));
}

TEST_F(QCGhostscriptTest, HangingGhostscriptIsKilledAtTheDeadline) {
  WriteLog(2);
  SetConverterDeadlineForTesting(2000);
  // Writes a partial PDF, starts a child of its own, and never ends.
  StandIn(
      "for a in \"$@\"; do out=\"$a\"; done\n"
      "echo partial > \"$(ls " +
      cfg_.QCReportDest +
      "/*.ps | sed 's/ps$/pdf/')\"\n"
      "sleep 600 & echo $$ $! > \"" +
      Path("pids.txt") + "\"; wait");
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);
  EXPECT_NE(ErrorLog().find("[QC] Timeout Ghostscript (60s)"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(cfg_.QCReportDest));  // partial PDF removed
  EXPECT_EQ(QCLogLines().size(), 2u);

  std::istringstream in(ReadAll(Path("pids.txt")));
  int shell = 0, child = 0;
  in >> shell >> child;
  ASSERT_GT(shell, 0);
  EXPECT_FALSE(ProcessRunning(shell));
  for (int i = 0; i < 200 && ProcessRunning(child); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(ProcessRunning(child));
}

TEST_F(QCGhostscriptTest, RealGhostscriptWritesTheReport) {
  const std::string pdftotext = platform::FindProgramOnPath("pdftotext");
  if (platform::FindProgramOnPath("gs").empty() || pdftotext.empty()) {
    GTEST_SKIP() << "Ghostscript or pdftotext is not installed";
  }
  WriteLog(90, "LOT-(7)", "Zoé Müß");
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 1);
  const std::string pdf = cfg_.QCReportDest + "/QC_Report_LOT-(7)_20250316.pdf";
  ASSERT_TRUE(std::filesystem::exists(pdf));
  EXPECT_TRUE(QCLogLines().empty());

  const platform::TSpawnResult r =
      platform::SpawnWithDeadline(pdftotext, {"-layout", pdf, Path("report.txt")}, 60000);
  ASSERT_EQ(r.Kind, platform::TSpawnResult::TKind::exited);
  const std::string text = ReadAll(Path("report.txt"));
  EXPECT_NE(text.find("QC Report - Lot: LOT-(7)"), std::string::npos) << text;
  EXPECT_NE(text.find("Page 2/2"), std::string::npos);
  EXPECT_NE(text.find("OK: 60"), std::string::npos) << text;
  EXPECT_NE(text.find("NOK: 30"), std::string::npos);
  EXPECT_NE(text.find("Total: 90"), std::string::npos);
  EXPECT_NE(text.find("Zoé Müß"), std::string::npos) << text;  // accents as recorded
}

}  // namespace
