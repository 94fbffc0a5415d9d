// The QC log: start and stop, recording a message, the line format and its
// reading back, dates, and appends.
#include <filesystem>

#include "QCFixture.h"
#include "platform/FaultSeam.h"

namespace {

using namespace qc_test;
using testing_support::ReadAll;
using testing_support::WriteAll;

class QCLogTest : public QCTest {
 protected:
  void WriteTargets() {
    WriteAll(cfg_.ExeFolder + "QC_Target_qual.csv",
             "Niv\t\t\tAnti-A\tAnti-B\tCtl\r\n"
             "1\t\t\t4+\tNEG\t\r\n"
             "2\t\t\t(+)\t2+\t0\r\n");
  }
};

TEST_F(QCLogTest, InitLoadsTargetsOnceAndFinalizeIsSafe) {
  FinalizeQCManager();  // without init
  WriteTargets();
  InitQCManager(cfg_);
  WriteAll(cfg_.ExeFolder + "QC_Target_qual.csv", "a\tb\tc\tAnti-A\n1\t\t\tNEG\n");
  InitQCManager(cfg_);  // already started: nothing reloaded
  EXPECT_EQ(GetQCTargetValue("1", "Anti-A"), "4+");
  const std::string log = ServiceLog();
  EXPECT_EQ(Count(log, "[QC] Valeurs cibles QC chargées — 2 niveau(x)"), 1u) << log;
  EXPECT_EQ(Count(log, "[QC] Gestionnaire QC initialisé"), 1u);
  FinalizeQCManager();
  FinalizeQCManager();
  EXPECT_EQ(CheckAndGenerateReports(cfg_), 0);  // stopped
}

TEST_F(QCLogTest, MissingTargetsFileIsReported) {
  InitQCManager(cfg_);
  EXPECT_NE(ServiceLog().find("[WARNING ] [QC] Fichier valeurs cibles QC introuvable ou vide : " +
                              cfg_.ExeFolder + "QC_Target_qual.csv"),
            std::string::npos);
}

TEST_F(QCLogTest, RecordsOneLinePerWellInResultThenWellOrder) {
  WriteTargets();
  InitQCManager(cfg_);
  TOrderRecord order;
  order.SampleID = "QC-0001";
  order.TestName = "QC ABO NIV 1";
  for (int r = 0; r < 2; ++r) {
    TRRecord res;
    res.TestCode = r == 0 ? "ABO" : "RH";
    res.TestResult = r == 0 ? "A" : "POS";
    res.MRecords = {MakeM(1, "Anti-A", GRADE_4PLUS), MakeM(2, "Anti-B", GRADE_1PLUS),
                    MakeM(3, "Ctl", GRADE_BUBBLE)};
    order.RRecords.push_back(res);
  }
  // The expiry comes from the order's first well only.
  order.RRecords[1].MRecords[0].ExpDateStr = "20991231";
  TOrderRecord second;
  second.SampleID = "QC-0002";
  second.TestName = "QC NIV 2";
  TRRecord res;
  res.TestCode = "X";
  res.MRecords = {MakeM(1, "anti-a", GRADE_0, "2025031")};
  second.RRecords = {TRRecord{}, res};  // an R record without wells gives no line
  TOrderRecord empty;
  empty.SampleID = "QC-0003";

  EXPECT_EQ(RecordQCResults(MakeQCMessage({order, empty, second}), cfg_), 7);
  const std::vector<std::string> lines = QCLogLines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0],
            "16/03/2025 10:20:30|IH500-1|QC-0001|QC ABO NIV 1|14/03/2025|1|K7000123|L-1|ABO|A|1|"
            "Anti-A|4+||4+||OK|||");
  EXPECT_EQ(lines[1],
            "16/03/2025 10:20:30|IH500-1|QC-0001|QC ABO NIV 1|14/03/2025|2|K7000123|L-1|ABO|A|2|"
            "Anti-B|1+||NEG||NOK|||");
  // No target for Ctl at level 1: neither value nor verdict.
  EXPECT_EQ(ParseQCLine(lines[2]).Grade, "ERR:Bulle");
  EXPECT_EQ(ParseQCLine(lines[2]).QCVal1, "");
  EXPECT_EQ(ParseQCLine(lines[2]).Check1, "");
  EXPECT_EQ(ParseQCLine(lines[3]).TestCode, "RH");
  EXPECT_EQ(ParseQCLine(lines[3]).QCPerDate, "14/03/2025");
  EXPECT_EQ(ParseQCLine(lines[5]).Reagent, "Ctl");
  const TQCLine last = ParseQCLine(lines[6]);
  EXPECT_EQ(last.QCPerDate, "");  // seven characters: no date
  EXPECT_EQ(last.QCVal1, "(+)");  // level 2, reagent case ignored
  EXPECT_EQ(last.Check1, "NOK");
  EXPECT_NE(ServiceLog().find("[QC] 7 ligne(s) QC enregistrée(s) — OID: QC-0001"),
            std::string::npos);
}

TEST_F(QCLogTest, IgnoresInvalidAndNonQCMessages) {
  InitQCManager(cfg_);
  TOrderRecord order;
  TRRecord r;
  r.MRecords = {MakeM(1, "A", 0)};
  order.RRecords = {r};
  TASTMMessage msg = MakeQCMessage({order});
  msg.IsValid = false;
  EXPECT_EQ(RecordQCResults(msg, cfg_), 0);
  EXPECT_EQ(DebugLog().find("non-QC"), std::string::npos);
  msg.IsValid = true;
  msg.IsQC = false;
  EXPECT_EQ(RecordQCResults(msg, cfg_), 0);
  EXPECT_NE(DebugLog().find("[DEBUG   ] [QC] Message non-QC — ignoré"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(QCLog()));
}

TEST(QCLine, SerializesAndParsesTwentyFields) {
  const TQCLine none;
  EXPECT_EQ(SerializeQCLine(none), std::string(19, '|'));
  const TQCLine back = ParseQCLine(std::string(19, '|'));
  EXPECT_EQ(SerializeQCLine(back), std::string(19, '|'));
  EXPECT_EQ(SerializeQCLine(ParseQCLine("")), std::string(19, '|'));

  const TQCLine few = ParseQCLine(" a | b|c ");
  EXPECT_EQ(few.RDResult, "a");
  EXPECT_EQ(few.InstrID, "b");
  EXPECT_EQ(few.OID, "c");
  EXPECT_EQ(few.Lot, "");
  EXPECT_EQ(few.User, "");

  std::string many;
  for (int i = 1; i <= 22; ++i) many += (i > 1 ? "|" : "") + std::to_string(i);
  const TQCLine cut = ParseQCLine(many);
  EXPECT_EQ(cut.RDResult, "1");
  EXPECT_EQ(cut.K7Lot, "8");
  EXPECT_EQ(cut.User, "20");
  EXPECT_EQ(ParseQCLine("a||b|").Lot, "");
  EXPECT_EQ(ParseQCLine("a||b|").OID, "b");
}

TEST(QCLine, QuotesFieldsHoldingSeparatorsOrQuotes) {
  TQCLine line = MakeLine("L-1", "14/03/2025");
  const std::string plain = SerializeQCLine(line);
  EXPECT_EQ(plain,
            "15/03/2025 08:30:00|IH500-1|QC-0001|QC ABO NIV 1|14/03/2025|1|K7000123|L-1|ABO|A+|1|"
            "Anti-A|4+||4+||OK|||");
  line.QCVal1 = "4+|fort";
  line.Reagent = "Anti \"A\"";
  line.Action = "\"";
  const std::string quoted = SerializeQCLine(line);
  EXPECT_NE(quoted.find("|\"Anti \"\"A\"\"\"|"), std::string::npos) << quoted;
  EXPECT_NE(quoted.find("|\"4+|fort\"|"), std::string::npos) << quoted;
  const TQCLine back = ParseQCLine(quoted);
  EXPECT_EQ(back.QCVal1, "4+|fort");
  EXPECT_EQ(back.Reagent, "Anti \"A\"");
  EXPECT_EQ(back.Check1, "OK");  // fields after it stay in place
  EXPECT_EQ(back.Action, "\"");
  EXPECT_EQ(back.User, "");

  // A quote that never closes takes the rest of the line, nothing more.
  const TQCLine torn = ParseQCLine("a|\"b|c|d");
  EXPECT_EQ(torn.InstrID, "b|c|d");
  EXPECT_EQ(torn.OID, "");
}

TEST(QCLine, ParsesDayMonthYearDates) {
  EXPECT_EQ(ParseQCDate("14/03/2025"), At(2025, 3, 14));
  EXPECT_EQ(ParseQCDate(" 14/03/2025 08:30:00"), At(2025, 3, 14));
  EXPECT_EQ(ParseQCDate("1/2/2000"), At(2000, 2, 1));
  for (const char* bad : {"31/02/2025", "14/13/2025", "14/03/1999", "14-03-2025", "", "14/03",
                          "00/03/2025", "14/03/2201", "aa/03/2025"}) {
    EXPECT_EQ(ParseQCDate(bad), 0) << bad;
  }
}

TEST_F(QCLogTest, AppendCreatesFolderWritesAnsiAndEndsTornLines) {
  TQCLine line = MakeLine("Lé", "14/03/2025");
  AppendQCLine(QCLog(), line);
  const std::string bytes = ReadAll(QCLog());
  EXPECT_NE(bytes.find("|L\xE9|"), std::string::npos);
  EXPECT_EQ(bytes.substr(bytes.size() - 5), "|||\r\n");

  // A last line without its end (a torn write, an edit) is ended first.
  WriteAll(QCLog(), bytes + "16/03/2025|partial");
  AppendQCLine(QCLog(), line);
  const std::vector<std::string> lines = QCLogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "16/03/2025|partial");
  EXPECT_EQ(ParseQCLine(lines[2]).K7Lot, "Lé");
}

TEST_F(QCLogTest, AFailedAppendRecordsNoReadingOfTheMessage) {
  InitQCManager(cfg_);
  WriteAll(cfg_.ExeFolder + "QC", "a file where the folder should be");
  TOrderRecord order;
  TRRecord r;
  r.MRecords = {MakeM(1, "A", 0), MakeM(2, "B", 0)};
  order.RRecords = {r};
  EXPECT_EQ(RecordQCResults(MakeQCMessage({order}), cfg_), -1);
  const std::string errors = ErrorLog();
  EXPECT_EQ(Count(errors, "[ERROR   ] [QC] Erreur écriture CSV QC : "), 1u) << errors;
  EXPECT_EQ(ServiceLog().find("ligne(s) QC enregistrée(s)"), std::string::npos);
}

// A disk that fills up in the middle of the append: the write lets the first
// half of the bytes through, then refuses the rest, as a full disk does.
TEST_F(QCLogTest, AnAppendCutShortLeavesTheLogByteForByteAndTheRetryRecordsOnce) {
  InitQCManager(cfg_);
  std::string earlier;
  for (int i = 0; i < 500; ++i) earlier += SerializeQCLine(MakeLine("L-0", "01/01/2025")) + "\r\n";
  std::filesystem::create_directories(cfg_.ExeFolder + "QC");
  WriteAll(QCLog(), earlier);  // far larger than the service's own log files
  TOrderRecord order;
  order.SampleID = "QC-0001";
  TRRecord r;
  r.MRecords = {MakeM(1, "A", 0), MakeM(2, "B", 0), MakeM(3, "C", 0)};
  order.RRecords = {r};
  const TASTMMessage msg = MakeQCMessage({order});

  platform::SetWriteFaultForTesting(1);
  const int recorded = RecordQCResults(msg, cfg_);
  const bool struck = platform::WriteFaultHitForTesting();
  platform::SetWriteFaultForTesting(0);

  EXPECT_TRUE(struck);
  EXPECT_EQ(recorded, -1);
  EXPECT_EQ(ReadAll(QCLog()), earlier);
  EXPECT_NE(ErrorLog().find("[QC] Erreur écriture CSV QC : "), std::string::npos);

  EXPECT_EQ(RecordQCResults(msg, cfg_), 3);  // tried again: each reading once
  const std::vector<std::string> lines = QCLogLines();
  ASSERT_EQ(lines.size(), 503u);
  EXPECT_EQ(ParseQCLine(lines[500]).Reagent, "A");
  EXPECT_EQ(ParseQCLine(lines[502]).Reagent, "C");
}

}  // namespace
