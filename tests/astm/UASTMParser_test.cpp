// The result-file parser on real files: the message it builds, its log lines
// and its five failures.
#include <gtest/gtest.h>

#include <filesystem>

#include "astm/ASTMSamples.h"
#include "astm/UASTMParser.h"
#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "support/TempFolder.h"

using namespace astm_samples;
using testing_support::TRecordingEventSink;

namespace {

std::string DateText(TDateTime value) {
  return platform::FormatDateTime("yyyy-mm-dd hh:nn:ss", value);
}

class ASTMParserTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    platform::SetNowForTesting([] {
      TDateTime now = 0;
      platform::TryEncodeDateTime({2024, 5, 6, 7, 8, 9, 0}, now);
      return now;
    });
    sink_ = std::make_shared<TRecordingEventSink>();
    SetEventSinkForTesting(sink_);
    TAppConfig cfg;
    cfg.ExeFolder = Path("");
    cfg.LogFolder = Path("log");
    cfg.ColorLog = true;
    InitLogger(cfg, "VelmarImageService");
  }
  void TearDown() override {
    FinalizeLogger();
    SetEventSinkForTesting(nullptr);
    platform::SetNowForTesting({});
    TempFolderTest::TearDown();
  }

  // Writes the bytes as a result file and parses it.
  bool ParseText(const std::string& bytes, const std::string& name = "sample.tra") {
    testing_support::WriteAll(Path(name), bytes);
    FreeASTMMessage(msg_);
    return ParseASTMFile(Path(name), msg_);
  }

  // The "ASTM" lines of one log file, without their time stamp.
  std::vector<std::string> Lines(const std::string& file) const {
    std::vector<std::string> out;
    for (const std::string& line : testing_support::ReadLogLines(Path("log/" + file))) {
      if (line.find("] [ASTM] ") != std::string::npos) out.push_back(line);
    }
    return out;
  }

  std::vector<uint32_t> EventIds() const {
    std::vector<uint32_t> ids;
    for (const auto& e : sink_->Events()) ids.push_back(e.EventId);
    return ids;
  }

  std::shared_ptr<TRecordingEventSink> sink_;
  TASTMMessage msg_;
};

using Strings = std::vector<std::string>;

// Every field of a record on one line, dates as text (0 stays 0).
std::string D(TDateTime value) {
  return value == 0 ? "0" : DateText(value);
}
std::string Fields(const std::vector<std::string>& values) {
  std::string out;
  for (const std::string& v : values) out += (out.empty() ? "" : " / ") + v;
  return out;
}

TEST_F(ASTMParserTest, FillsEveryRecordOfAMessage) {
  ASSERT_TRUE(ParseText(Join(SampleLines())));
  EXPECT_TRUE(msg_.IsValid);
  EXPECT_EQ(msg_.ParseError, "");
  EXPECT_EQ(msg_.SourceFile, Path("sample.tra"));
  EXPECT_FALSE(msg_.IsQC);
  const THeaderRecord& h = msg_.Header;
  EXPECT_EQ(Fields({h.InstrumentName, h.SoftwareVer, h.InstrumentID, h.ProcessingID, h.Protocol,
                    D(h.Timestamp)}),
            "ZID IH-500 / 5.2 / SN1234 / P / LIS2-A / 2024-05-06 07:08:09");
  const TPatientRecord& p = msg_.Patient;
  EXPECT_EQ(Fields({std::to_string(p.SeqNr), p.PatientID, p.FirstName, p.LastName, p.BirthDateStr,
                    D(p.BirthDate), p.Sex}),
            "1 / PAT001 / Hélène / Dupont / 19800101 / 1980-01-01 00:00:00 / F");
  ASSERT_EQ(msg_.OrderCount(), 1);
  const TOrderRecord& o = msg_.Orders[0];
  EXPECT_EQ(Fields({std::to_string(o.SeqNr), o.SampleID, o.TestName, D(o.OrderDate),
                    D(o.ReportDate), o.SampleType, o.OrderStatus}),
            "1 / S001 / ABO/RH / 2024-05-06 07:00:00 / 2024-05-06 08:00:00 / Blood / F");
  EXPECT_EQ(o.RawLine, Order("S001"));
  ASSERT_EQ(o.RCount(), 1);
  const TRRecord& r = o.RRecords[0];
  EXPECT_EQ(Fields({std::to_string(r.SeqNr), r.TestCode, r.TestResult, r.ResultFlag, r.ResultStatus,
                    r.ResultMethod, D(r.ResultDate), r.InstrumentID}),
            "1 / ABO / POS / N / F / OPER / 2024-05-06 07:50:00 / SN1234");
  ASSERT_EQ(r.MCount(), 2);
  const TMRecord& m = r.MRecords[1];
  EXPECT_EQ(Fields({std::to_string(m.SeqNr), m.Reagent, m.CassetteName, std::to_string(m.WellNr),
                    m.CassetteID, m.CassetteLot, m.ExpDateStr, D(m.ExpDate), m.BWImageFile,
                    m.ColorImageFile, m.ReagentName, m.ReagentLot, m.ReagentExpDate,
                    std::to_string(m.Grade), m.GradeFlag, m.IsError ? "error" : "ok"}),
            "2 / Anti-B / ABO-D / 2 / CAS001 / LOT1 / 20250101 / 2025-01-01 00:00:00 / "
            "bw_COL1.JPG / COL1.JPG / Anti-B / RL1 / 20250201 / -118 / B / error");
  EXPECT_FALSE(r.MRecords[0].IsError);
  EXPECT_EQ(msg_.UniqueImages.Items(), Strings{"col1.jpg"});
}

TEST_F(ASTMParserTest, LogsEachRecordAndTheVerdict) {
  Strings lines = SampleLines();
  lines.insert(lines.end() - 1, "Q|1|x");
  ASSERT_TRUE(ParseText(Join(lines)));
  EXPECT_EQ(Lines("debug.log"),
            (Strings{"[DEBUG   ] [ASTM] H — Instrument: SN1234 v5.2",
                     "[DEBUG   ] [ASTM] P — PatientID: PAT001 Sexe: F",
                     "[DEBUG   ] [ASTM] O — SampleID: S001 Test: ABO/RH QC: False",
                     "[DEBUG   ] [ASTM] R — Test: ABO Resultat: POS",
                     "[DEBUG   ] [ASTM] M — Reactif: Anti-A Puit: 1 Grade: 4+",
                     "[DEBUG   ] [ASTM] M — Reactif: Anti-B Puit: 2 Grade: ERR:Bulle",
                     "[DEBUG   ] [ASTM] Segment inconnu \"Q\" ligne 7 — ignore",
                     "[DEBUG   ] [ASTM] L — Fin message. Orders: 1 Images: 1"}));
  EXPECT_EQ(Lines("service.log"),
            (Strings{"[INFO    ] [ASTM] ParseResult: TestCode=[ABO] TestResult=[POS]",
                     "[WARNING ] [ASTM] Grade erreur — Reactif: Anti-B Grade: ERR:Bulle "
                     "Cassette: CAS001 Puit: 2",
                     "[INFO    ] [ASTM] Fichier parsé avec succès — Patient: PAT001 Orders: 1 "
                     "Images: 1 QC: False [sample.tra]"}));
  EXPECT_TRUE(EventIds().empty());
}

TEST_F(ASTMParserTest, FiveFailuresWithTheirTextsAndLogLines) {
  std::filesystem::create_directories(Path("folder.tra"));
  // What the system says when a folder is read as a file ("read '...': Is a
  // directory" on Linux).
  std::string bytes;
  const std::string folderRead = platform::ReadFileBytes(Path("folder.tra"), bytes).Text;
  struct {
    const char* name;
    const char* bytes;  // null: no file written
    std::string error;
    std::string logLine;
    std::vector<uint32_t> events;
  } cases[] = {
      {"missing.tra",
       nullptr,
       "Fichier introuvable : " + Path("missing.tra"),
       "[ERROR   ] [ASTM] Fichier introuvable : " + Path("missing.tra"),
       {5000}},
      {"folder.tra",
       nullptr,
       "Erreur lecture fichier : " + folderRead,
       "[ERROR   ] [ASTM] Erreur lecture fichier : " + folderRead + " [" + Path("folder.tra") + "]",
       {5000}},
      {"empty.tra",
       "",
       "Fichier vide : " + Path("empty.tra"),
       "[WARNING ] [ASTM] Fichier vide : " + Path("empty.tra"),
       {}},
      {"bom.tra",
       "\xEF\xBB\xBF",
       "Fichier vide : " + Path("bom.tra"),
       "[WARNING ] [ASTM] Fichier vide : " + Path("bom.tra"),
       {}},
      {"blank.tra",
       "\r\nH|\\^&\r\nO|1|S\r\n",
       "Segment H manquant en début de fichier",
       "[ERROR   ] [ASTM] Segment H manquant en début de fichier [" + Path("blank.tra") + "]",
       {5000}},
      {"lower.tra",
       "h|\\^&\r\nO|1|S\r\n",
       "Segment H manquant en début de fichier",
       "[ERROR   ] [ASTM] Segment H manquant en début de fichier [" + Path("lower.tra") + "]",
       {5000}},
      {"noorder.tra",
       "H|\\^&\r\nP|1|X\r\nL\r\n",
       "Aucun segment O trouvé dans le fichier",
       "[WARNING ] [ASTM] Aucun segment O trouvé dans le fichier [" + Path("noorder.tra") + "]",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(Path("log/service.log"));
    const size_t eventsBefore = sink_->Events().size();
    if (c.bytes) testing_support::WriteAll(Path(c.name), c.bytes);
    msg_.Orders.resize(1);  // left over from an earlier parse: must be reset
    EXPECT_FALSE(ParseASTMFile(Path(c.name), msg_));
    EXPECT_FALSE(msg_.IsValid);
    EXPECT_EQ(msg_.ParseError, c.error);
    EXPECT_EQ(msg_.OrderCount(), 0);
    const Strings lines = Lines("service.log");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.logLine);
    std::vector<uint32_t> events = EventIds();
    events.erase(events.begin(), events.begin() + static_cast<long>(eventsBefore));
    EXPECT_EQ(events, c.events);
  }
}

TEST_F(ASTMParserTest, AnOversizedFileIsRefusedBeforeItIsRead) {
  // A valid beginning, then a hole up to one byte past the limit: the file
  // takes no room on disk, and reading it would take 64 MiB of memory.
  testing_support::WriteAll(Path("huge.tra"), "H|\\^&\r\nO|1|S\r\nL\r\n");
  std::filesystem::resize_file(Path("huge.tra"), 64 * 1024 * 1024 + 1);
  EXPECT_FALSE(ParseASTMFile(Path("huge.tra"), msg_));
  EXPECT_EQ(msg_.ParseError, "Fichier trop volumineux : 67108865 octets (au plus 67108864)");
  EXPECT_EQ(Lines("service.log").back(),
            "[ERROR   ] [ASTM] Fichier trop volumineux : 67108865 octets (au plus 67108864) [" +
                Path("huge.tra") + "]");
  EXPECT_EQ(EventIds(), std::vector<uint32_t>{EVT_PROCESSING_ERROR});
}

TEST_F(ASTMParserTest, RecognisesQCBySampleIdOrTestNameInAnyCase) {
  struct {
    const char* sampleId;
    const char* testName;
    bool qc;
  } cases[] = {
      {"QC123", "ABO", true},  {"qc123", "ABO", true},   {"Qc", "ABO", true},
      {"S1", "QC ABO", true},  {"S1", "qc-daily", true}, {"XQC1", "ABO", false},
      {"S1", "ABO QC", false}, {"Q", "C", false},        {"", "", false},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(ParseText(Join({Header(), Order(c.sampleId, c.testName), End()})));
    EXPECT_EQ(msg_.IsQC, c.qc) << c.sampleId << " / " << c.testName;
  }
  // Once one order is QC the message stays QC.
  ASSERT_TRUE(ParseText(Join({Header(), Order("QC1"), Order("S2"), End()})));
  EXPECT_TRUE(msg_.IsQC);
  EXPECT_EQ(Lines("debug.log").back(), "[DEBUG   ] [ASTM] L — Fin message. Orders: 2 Images: 0");
  EXPECT_EQ(Lines("service.log").back(),
            "[INFO    ] [ASTM] Fichier parsé avec succès — Patient:  Orders: 2 Images: 0 QC: "
            "True [sample.tra]");
}

TEST_F(ASTMParserTest, AttachesResultsAndWellsToTheirOwnOrder) {
  Strings lines = {Header(), Patient()};
  for (const std::string order : {"S1", "S2"}) {
    lines.push_back(Order(order));
    for (const std::string test : {"A", "B", "C"}) {
      lines.push_back(Result(order + test));
      lines.push_back(M(order + test, 1, order + test + ".jpg"));
      if (test == "B") lines.push_back(M(order + test, 2, order + test + "2.jpg"));
    }
  }
  lines.push_back(End());
  ASSERT_TRUE(ParseText(Join(lines)));
  ASSERT_EQ(msg_.OrderCount(), 2);
  for (int o = 0; o < 2; ++o) {
    const TOrderRecord& order = msg_.Orders[static_cast<size_t>(o)];
    const std::string id = o == 0 ? "S1" : "S2";
    EXPECT_EQ(order.SampleID, id);
    ASSERT_EQ(order.RCount(), 3);
    for (int r = 0; r < 3; ++r) {
      const TRRecord& result = order.RRecords[static_cast<size_t>(r)];
      const std::string code = id + "ABC"[r];
      EXPECT_EQ(result.TestCode, code);
      ASSERT_EQ(result.MCount(), r == 1 ? 2 : 1) << code;
      EXPECT_EQ(result.MRecords[0].ColorImageFile, code + ".jpg");
    }
  }
  EXPECT_EQ(msg_.UniqueImages.Count(), 8);
}

TEST_F(ASTMParserTest, SkipsOrphanWellsAndDropsResultsBeforeTheFirstOrder) {
  const Strings lines = {Header(),
                         Result("EARLY"),
                         M("Early", 1, "early.jpg"),  // accepted, then dropped with its result
                         Order("S1"),
                         M("Orphan", 1, "orphan.jpg"),  // line 5: no result since the O
                         Result("ABO"),
                         M("Anti-A", 1, "col1.jpg"),
                         End(),
                         M("After", 1, "after.jpg")};  // line 9: the L closed the result
  ASSERT_TRUE(ParseText(Join(lines)));
  ASSERT_EQ(msg_.OrderCount(), 1);
  ASSERT_EQ(msg_.Orders[0].RCount(), 1);
  EXPECT_EQ(msg_.Orders[0].RRecords[0].TestCode, "ABO");
  EXPECT_EQ(msg_.Orders[0].RRecords[0].MCount(), 1);
  EXPECT_EQ(msg_.UniqueImages.Items(), (Strings{"col1.jpg", "early.jpg"}));
  Strings warnings;
  for (const std::string& line : Lines("service.log")) {
    if (line.rfind("[WARNING ]", 0) == 0) warnings.push_back(line);
  }
  EXPECT_EQ(warnings, (Strings{"[WARNING ] [ASTM] M record orphelin ligne 5 — ignore",
                               "[WARNING ] [ASTM] M record orphelin ligne 9 — ignore"}));
}

TEST_F(ASTMParserTest, LowerCaseLettersAndRepeatedHeaderOrPatient) {
  const Strings lines = {Header(),
                         Patient("FIRST"),
                         "H|\\^&|||ZID^X^6.0^SN9",
                         " p|1|ignored",  // dispatched as P, rejected: the patient is emptied
                         Patient("SECOND"),
                         "o" + Order("S1").substr(1),  // an empty order, still counted
                         Result("ABO"),
                         "r|1|lower",  // dispatched as R: an empty result, which gets the well
                         M("Anti-A", 1, "col1.jpg"),
                         "l"};  // a lone letter closes the message
  ASSERT_TRUE(ParseText(Join(lines)));
  EXPECT_EQ(msg_.Header.InstrumentID, "SN9");
  EXPECT_EQ(msg_.Header.Protocol, "");
  EXPECT_EQ(msg_.Patient.PatientID, "SECOND");
  ASSERT_EQ(msg_.OrderCount(), 1);
  const TOrderRecord& order = msg_.Orders[0];
  EXPECT_EQ(order.SampleID, "");
  EXPECT_EQ(order.RawLine, "");
  ASSERT_EQ(order.RCount(), 2);
  EXPECT_EQ(order.RRecords[0].TestCode, "ABO");
  EXPECT_EQ(order.RRecords[1].TestCode, "");
  EXPECT_EQ(order.RRecords[1].MCount(), 1);
}

// A file without its L line is complete once its size has settled: the last
// order keeps its fields and results, exactly as with the L line.
TEST_F(ASTMParserTest, EndOfFileClosesTheMessageWhenTheLLineIsMissing) {
  Strings lines = {Header(),           Patient(),          Order("S1"),        Result("A"),
                   M("A", 1, "a.jpg"), Order("S2"),        Result("B"),        M("B", 1, "b.jpg"),
                   Result("C"),        M("C", 1, "c.jpg"), M("C", 2, "c2.jpg")};
  ASSERT_TRUE(ParseText(Join(lines)));
  ASSERT_EQ(msg_.OrderCount(), 2);
  const TOrderRecord& last = msg_.Orders[1];
  EXPECT_EQ(last.SampleID, "S2");
  EXPECT_EQ(last.RawLine, Order("S2"));
  ASSERT_EQ(last.RCount(), 2);
  EXPECT_EQ(last.RRecords[1].TestCode, "C");
  EXPECT_EQ(last.RRecords[1].MCount(), 2);
  EXPECT_EQ(msg_.Orders[0].RCount(), 1);

  lines.push_back(End());
  TASTMMessage withL;
  ASSERT_TRUE(ParseASTMBytes(Join(lines), "withL.tra", withL));
  ASSERT_EQ(withL.Orders[1].RCount(), 2);
  EXPECT_EQ(withL.Orders[1].RRecords[1].MCount(), 2);
  EXPECT_EQ(withL.UniqueImages.Items(), msg_.UniqueImages.Items());
}

TEST_F(ASTMParserTest, ReadsEveryEncodingAndLineEndTheSame) {
  const Strings lines = SampleLines();
  const std::string crlf = Join(lines);
  struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"lf", Join(lines, "\n")},
      {"cr", Join(lines, "\r")},
      {"bom", "\xEF\xBB\xBF" + crlf},
      {"ansi", platform::Utf8ToAnsi(crlf)},  // "Hélène" in Windows-1252
      {"bom+ansi", "\xEF\xBB\xBF" + platform::Utf8ToAnsi(crlf)},
      {"framed", "\x02" + Join(lines, "\x17\r\n\x02") + "\x03\x04"},
      {"blanks", "  " + Join(lines, "  \r\n   \r\n\t")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(ParseText(c.bytes));
    EXPECT_EQ(msg_.Patient.FirstName, "Hélène");
    EXPECT_EQ(msg_.Header.InstrumentID, "SN1234");
    ASSERT_EQ(msg_.OrderCount(), 1);
    ASSERT_EQ(msg_.Orders[0].RCount(), 1);
    EXPECT_EQ(msg_.Orders[0].RRecords[0].MCount(), 2);
    EXPECT_EQ(msg_.Orders[0].RawLine, Order("S001"));
  }
}

}  // namespace
