#pragma once

// Messages and configurations for the imaging tests and the image benchmark,
// built in code: one patient or QC message whose cassettes name their
// photographs.

#include <string>
#include <vector>

#include "astm/UASTMParser.h"
#include "config/UConfig.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace imaging_test {

// One well of a cassette as an M record under its R record.
struct TTestWell {
  int Well = 1;
  std::string Reagent = "Anti-A";
  int Grade = 40;
};

inline TMRecord MakeWell(const std::string& CassetteID, const std::string& Photo,
                         const TTestWell& Well) {
  TMRecord M;
  M.Reagent = Well.Reagent;
  M.CassetteName = "ABO/Rh";
  M.WellNr = Well.Well;
  M.CassetteID = CassetteID;
  M.CassetteLot = "50123.45";
  M.ColorImageFile = Photo;
  M.BWImageFile = "bw_" + Photo;
  M.ReagentName = Well.Reagent;
  M.Grade = Well.Grade;
  M.IsError = Well.Grade < 0;
  return M;
}

// A valid patient message with one order; each cassette gets one R record
// (TestCode "ABO_" + cassette id, flag as given) holding its wells.
struct TTestCassette {
  std::string CassetteID = "123456";
  std::string Photo = "photo1.jpg";
  std::string Flag;
  std::vector<TTestWell> Wells = {{1, "Anti-A", 40}, {2, "Anti-B", 0},   {3, "Anti-D", 30},
                                  {4, "Ctrl", 0},    {5, "A1-Cells", 0}, {6, "B-Cells", 40}};
};

inline TASTMMessage MakeMessage(const std::vector<TTestCassette>& Cassettes, bool IsQC = false) {
  TASTMMessage Msg;
  Msg.SourceFile = "/instr/240101234.tra";
  Msg.IsValid = true;
  Msg.IsQC = IsQC;
  Msg.Header.InstrumentID = "IH500-0042";
  Msg.Patient.PatientID = "P0012345";
  Msg.Patient.LastName = "DUPONT";
  Msg.Patient.FirstName = "Marie";
  Msg.Patient.Sex = "F";
  platform::TryEncodeDate(1980, 5, 17, Msg.Patient.BirthDate);
  TOrderRecord Order;
  Order.SampleID = IsQC ? "QCX04568YYY12Z" : "240101234";
  Order.TestName = "ABO/Rh (2)^x^=A12345^y";
  platform::TDateParts Parts;
  Parts.Year = 2026, Parts.Month = 2, Parts.Day = 14, Parts.Hour = 9, Parts.Minute = 5,
  Parts.Second = 7;
  platform::TryEncodeDateTime(Parts, Order.ReportDate);
  for (const TTestCassette& C : Cassettes) {
    TRRecord R;
    R.TestCode = "ABO_" + C.CassetteID;
    R.ResultFlag = C.Flag;
    R.InstrumentID = "IH500-0042";
    for (const TTestWell& W : C.Wells) R.MRecords.push_back(MakeWell(C.CassetteID, C.Photo, W));
    Order.RRecords.push_back(R);
    Msg.UniqueImages.Add(C.Photo);
  }
  Msg.Orders.push_back(Order);
  return Msg;
}

// A configuration whose folders all lie under Root.
inline TAppConfig MakeConfig(const std::string& Root) {
  TAppConfig Config;
  Config.ExeFolder = platform::IncludeTrailingDelimiter(Root);
  Config.LogFolder = platform::JoinPath(Root, "log");
  Config.ImageDestFolder = platform::JoinPath(Root, "dest");
  Config.ResizedImageDest = platform::JoinPath(Root, "resized");
  Config.ResizeFactor = 33;
  Config.ImageFormat = "jpg";
  Config.Language = "fr";
  Config.BagStart = 2;
  Config.BagLength = 3;
  Config.ColorLog = true;
  return Config;
}

}  // namespace imaging_test
