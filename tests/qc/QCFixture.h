#pragma once

// A QC test folder: an executable folder with its log folder, a report
// folder, the logger started with debug lines and a recording event sink,
// a fixed clock, and helpers that build QC messages and log lines.

#include <memory>
#include <string>
#include <vector>

#include "astm/UASTMParser.h"
#include "config/UConfig.h"
#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "qc/UQCManager.h"
#include "qc/UQCTarget.h"
#include "support/TempFolder.h"
#include "support/TestDates.h"

namespace qc_test {

// Occurrences of `part` in `text` (overlapping ones included).
inline size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

using testing_support::At;

class QCTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    cfg_.ExeFolder = Path("exe") + "/";
    cfg_.LogFolder = Path("exe/log");
    cfg_.ColorLog = true;
    cfg_.QCReportDelay = DEFAULT_QCDELAY;
    cfg_.QCReportDest = Path("reports");
    SetClock(At(2025, 3, 16, 10, 20, 30));
    sink_ = std::make_shared<testing_support::TRecordingEventSink>();
    SetEventSinkForTesting(sink_);
    InitLogger(cfg_, "VelmarImageService");
  }
  void TearDown() override {
    FinalizeQCManager();
    FinalizeLogger();
    SetEventSinkForTesting(nullptr);
    SetConverterRunnerForTesting({});
    SetConverterDeadlineForTesting(0);
    platform::SetNowForTesting({});
    TempFolderTest::TearDown();
  }

  void SetClock(TDateTime now) {
    platform::SetNowForTesting([now] { return now; });
  }
  std::string LogText(const char* name) const {
    return testing_support::ReadAnsiText(platform::JoinPath(cfg_.LogFolder, name));
  }
  std::string ServiceLog() const { return LogText("service.log"); }
  std::string DebugLog() const { return LogText("debug.log"); }
  std::string ErrorLog() const { return LogText("error.log"); }
  std::string QCLog() const { return QCLogPath(cfg_); }
  // The QC log's lines, decoded.
  std::vector<std::string> QCLogLines() const { return testing_support::ReadAnsiLines(QCLog()); }

  TAppConfig cfg_;
  std::shared_ptr<testing_support::TRecordingEventSink> sink_;
};

// A log line of lot `k7Lot`, expiring `perDate`, with a verdict.
inline TQCLine MakeLine(const std::string& k7Lot, const std::string& perDate,
                        const std::string& check = "OK", const std::string& tub = "1") {
  TQCLine l;
  l.RDResult = "15/03/2025 08:30:00";
  l.InstrID = "IH500-1";
  l.OID = "QC-0001";
  l.Lot = "QC ABO NIV 1";
  l.QCPerDate = perDate;
  l.Tub = tub;
  l.K7ID = "K7000123";
  l.K7Lot = k7Lot;
  l.TestCode = "ABO";
  l.TestResult = "A+";
  l.WellNr = "1";
  l.Reagent = "Anti-A";
  l.Grade = "4+";
  l.QCVal1 = "4+";
  l.Check1 = check;
  return l;
}

inline TMRecord MakeM(int seq, const std::string& reagent, int grade,
                      const std::string& exp = "20250314", const std::string& lot = "L-1") {
  TMRecord m;
  m.SeqNr = seq;
  m.Reagent = reagent;
  m.CassetteName = "ABO/Rh";
  m.WellNr = seq;
  m.CassetteID = "K7000123";
  m.CassetteLot = lot;
  m.ExpDateStr = exp;
  m.ExpDate = ASTMDateToDateTime(exp);
  m.Grade = grade;
  m.IsError = grade < 0;
  return m;
}

inline TASTMMessage MakeQCMessage(std::vector<TOrderRecord> orders) {
  TASTMMessage msg;
  msg.IsValid = true;
  msg.IsQC = true;
  msg.Header.InstrumentID = "IH500-1";
  msg.Orders = std::move(orders);
  return msg;
}

}  // namespace qc_test
