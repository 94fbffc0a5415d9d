#pragma once

// The sample laboratory: a ready-to-run install folder (config.ini, QC
// targets) and instrument folders holding result files of every shape the
// service meets, with their photographs. Used by the demo, the end-to-end
// tests and the benchmarks.

#include <string>
#include <vector>

namespace samplelab {

// One M record: a well of a cassette.
struct TSampleWell {
  int WellNr = 0;
  std::string Reagent;
  std::string ReagentLot;
  int Grade = 0;
};

struct TSampleCassette {
  std::string CassetteName = "ABO/Rh";
  std::string CassetteID;
  std::string CassetteLot = "L2611";
  std::string ExpDateStr = "20271231";
  std::string PhotoFile;       // colour photograph name (M record component 7)
  std::string PrintedBarcode;  // printed on the photograph; empty: no barcode
  std::vector<TSampleWell> Wells;
};

struct TSampleResult {
  std::string TestCode = "XM";
  std::string ResultFlag;
  std::vector<TSampleCassette> Cassettes;
};

struct TSampleFile {
  std::string FileName;  // e.g. "UP_260001.tra"
  int Instrument = 1;    // 1 or 2
  std::string InstrumentID = "VLM0001";
  std::string PatientID, Name, BirthDate, Sex;
  std::string SampleID, TestName;
  std::vector<TSampleResult> Results;
  std::string RawText;  // when set, written as is instead of a message
};

// The ASTM text of one sample file (lines ended by CR LF).
std::string BuildResultText(const TSampleFile& file, const std::string& when);

// The files of the sample laboratory; `today` is "yyyymmdd" (QC expiry dates
// are computed from it so that one QC lot is already due for its report).
std::vector<TSampleFile> SampleFiles(const std::string& today);

struct TLabLayout {
  std::string Root;     // the folder given by the user
  std::string Install;  // Root/install: the executable's folder
  std::string Out;      // Root/out: every destination folder
  std::string TraFolder[2];
  std::string ImagesFolder[2];
};

// Draws the photograph of one cassette (about 1600 x 2400 JPEG): its wells'
// reactions from their grades, its label and, when it has one, its printed
// barcode. False with the reason in `error` when it cannot be written.
bool WriteCassettePhoto(const TSampleCassette& c, unsigned seed, const std::string& path,
                        std::string& error);

// Creates the whole laboratory under `root`; false (with a message on
// stderr) when a file cannot be written. `photos` also draws the
// photographs (about 1600 x 2400 JPEG each).
bool CreateSampleLab(const std::string& root, bool photos, TLabLayout& layout);

}  // namespace samplelab
