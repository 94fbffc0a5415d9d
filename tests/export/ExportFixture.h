#pragma once

// Shared fixture of the export tests: a temporary install folder with the
// logger running (debug lines included) on a fixed clock, events recorded,
// and builders for small in-memory messages.

#include <cstdlib>
#include <memory>
#include <string>

#include "astm/UASTMParser.h"
#include "config/UConfig.h"
#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Text.h"
#include "support/Process.h"
#include "support/SystemProbes.h"
#include "support/TempFolder.h"
#include "support/TestDates.h"

namespace export_tests {

using testing_support::At;

// The fixed "now" of every test: 15 March 2024 10:20:30.
inline TDateTime FixedNow() {
  return At(2024, 3, 15, 10, 20, 30);
}

inline TMRecord Well(const std::string& reagent, int wellNr, const std::string& cassetteID,
                     int grade = 0) {
  TMRecord m;
  m.Reagent = reagent;
  m.WellNr = wellNr;
  m.CassetteID = cassetteID;
  m.Grade = grade;
  m.IsError = grade < 0;
  return m;
}

inline TRRecord Result(const std::string& testCode, std::vector<TMRecord> wells) {
  TRRecord r;
  r.TestCode = testCode;
  r.MRecords = std::move(wells);
  return r;
}

inline TASTMMessage Message(std::vector<TRRecord> results, const std::string& sampleID = "S1") {
  TASTMMessage msg;
  msg.SourceFile = "/instr/12345.tra";
  msg.IsValid = true;
  msg.Header.InstrumentID = "INSTR01";
  msg.Header.InstrumentName = "Velmar Gel";
  msg.Header.SoftwareVer = "5.1";
  msg.Patient.PatientID = "P001";
  msg.Patient.FirstName = "Dupont";
  msg.Patient.LastName = "Élodie";
  msg.Patient.BirthDateStr = "19800102";
  msg.Patient.Sex = "F";
  TOrderRecord o;
  o.SeqNr = 1;
  o.SampleID = sampleID;
  o.TestName = "SCREEN^Panel";
  o.SampleType = "Blood";
  o.ReportDate = At(2024, 3, 14, 8, 9, 10);
  o.RRecords = std::move(results);
  msg.Orders.push_back(std::move(o));
  return msg;
}

class ExportTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    platform::SetNowForTesting([] { return FixedNow(); });
    config_.ExeFolder = Path("");
    config_.LogFolder = Path("log");
    config_.ColorLog = true;
    config_.InfoToLis = Path("lis");
    config_.InfoToLisPrefix = "LIS";
    sink_ = std::make_shared<testing_support::TRecordingEventSink>();
    SetEventSinkForTesting(sink_);
    InitLogger(config_, "VelmarImageService");
  }
  void TearDown() override {
    FinalizeLogger();
    SetEventSinkForTesting(nullptr);
    platform::SetNowForTesting({});
    TempFolderTest::TearDown();
  }
  std::string LogText(const std::string& name) const {
    return testing_support::ReadAnsiText(Path("log/" + name));
  }
  bool HasEvent(uint32_t id) const {
    for (const auto& e : sink_->Events()) {
      if (e.EventId == id) return true;
    }
    return false;
  }

  TAppConfig config_;
  std::shared_ptr<testing_support::TRecordingEventSink> sink_;
};

// True when xmllint reads the file as a well-formed document.
inline bool WellFormed(const std::string& path) {
  return testing_support::RunProgram({"xmllint", "--noout", path}) == 0;
}

}  // namespace export_tests
