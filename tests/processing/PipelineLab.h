#pragma once

// A small laboratory for the pipeline's fault sweeps, and what is wrong with
// what a run left in it: a screening panel (picture, XML, upload file), a QC
// reading (QC log, QC picture) and a patient cassette whose barcode is
// another's (picture set aside, upload file). Each sweep interrupts the work
// at every point it can (a full disk, a power loss), lets the service run
// again until nothing waits, and compares the laboratory with a run without
// fault: each result file filed once and whole, each output there once,
// nothing torn under a final name.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "barcode/UBarcodeVerif.h"
#include "config/UConfig.h"
#include "imaging/UImageProcessor.h"
#include "imaging/UJpegCodec.h"
#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/FaultSeam.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "processing/UServiceThread.h"
#include "qc/UQCManager.h"
#include "samplelab/SampleLab.h"
#include "samplelab/SamplePhoto.h"
#include "support/TempFolder.h"

namespace pipeline_lab {

namespace fs = std::filesystem;
using testing_support::ReadAll;
using testing_support::WriteAll;

// A screening panel (picture, XML, upload file), a QC reading (QC log, QC
// picture) and a patient cassette whose barcode is another's (picture set
// aside, upload file).
inline const std::set<std::string> kSampleFiles = {"UP_260103.tra", "UP_QC0001.tra",
                                                   "UP_260201.tra"};
inline const char* kWrongCassette = "VC4201";

// What a run leaves: every file under a final name (path under the
// laboratory -> content), the QC log lines, the result files still waiting.
struct TOutcome {
  std::map<std::string, std::string> Files;
  std::vector<std::string> QCLines;
  std::vector<std::string> Waiting;
};

// Fields of a QC log line ("|" inside double quotes does not count).
inline int QCFieldCount(const std::string& line) {
  int fields = 1;
  bool quoted = false;
  for (const char c : line) {
    if (c == '"') quoted = !quoted;
    if (c == QC_CSV_SEP && !quoted) ++fields;
  }
  return fields;
}

// A QC reading without its time of recording: the same reading recorded
// twice gives the same text.
inline std::string Reading(const std::string& line) {
  return line.substr(std::min(line.size(), line.find(QC_CSV_SEP)));
}

// "out/glims/LIS260103_0.UPL" gives "out/glims/LIS260103".
inline std::string UploadSample(const std::string& path) {
  return path.substr(0, path.rfind('_'));
}

inline bool HasSuffix(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The entries of a folder (listed before anything is done to them).
inline std::vector<fs::path> Entries(const std::string& folder) {
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(folder)) entries.push_back(entry.path());
  return entries;
}

inline std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

class TPipelineLabTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    ASSERT_TRUE(samplelab::CreateSampleLab(Path("lab"), false, lab_));
    for (const std::string& folder : {lab_.TraFolder[0], lab_.TraFolder[1]}) {
      for (const fs::path& path : Entries(folder)) {
        if (kSampleFiles.count(path.filename().string()) > 0) {
          sources_[path.string()] = ReadAll(path.string());
        }
        fs::remove(path);
      }
    }
    ASSERT_EQ(sources_.size(), kSampleFiles.size());
    // Narrow photographs: the composite is as wide as its photograph, and
    // the width changes nothing to what is written where.
    const std::string today = platform::FormatDateTime("yyyymmdd", platform::Now());
    for (const samplelab::TSampleFile& file : samplelab::SampleFiles(today)) {
      if (kSampleFiles.count(file.FileName) == 0) continue;
      for (const samplelab::TSampleResult& r : file.Results) {
        for (const samplelab::TSampleCassette& c : r.Cassettes) {
          TSamplePhotoOptions options;
          options.Width = 240;
          std::string error;
          ASSERT_TRUE(WriteSamplePhoto(
              options, lab_.ImagesFolder[file.Instrument - 1] + "/" + c.PhotoFile, error))
              << error;
        }
      }
    }
    SetBarcodeCheckForTesting([](const TRasterView&, const std::string& cassette) {
      return cassette == kWrongCassette ? bvrMismatch : bvrOK;
    });
    SetEventSinkForTesting(std::make_shared<testing_support::TRecordingEventSink>());
  }
  void TearDown() override {
    platform::SetWriteFaultForTesting(0);
    SetBarcodeCheckForTesting({});
    SetEventSinkForTesting(nullptr);
    FinalizeQCManager();
    TempFolderTest::TearDown();
  }

  // Puts the laboratory back as it was made: the result files in their
  // instrument folders, no output, no log, no QC log.
  void ResetLab() {
    for (const fs::path& path : Entries(lab_.Install)) {
      const std::string name = path.filename().string();
      if (name != "config.ini" && name != "QC_Target_qual.csv") fs::remove_all(path);
    }
    for (const fs::path& path : Entries(lab_.Out)) {
      fs::remove_all(path);
      fs::create_directories(path);
    }
    for (const std::string& folder : {lab_.TraFolder[0], lab_.TraFolder[1]}) {
      for (const fs::path& path : Entries(folder)) fs::remove_all(path);
    }
    for (const auto& [path, bytes] : sources_) WriteAll(path, bytes);
  }

  // The result files still in their instrument folders.
  std::vector<std::string> Waiting() const {
    std::vector<std::string> names;
    for (const std::string& folder : {lab_.TraFolder[0], lab_.TraFolder[1]}) {
      for (const fs::path& path : Entries(folder)) names.push_back(path.filename().string());
    }
    return names;
  }

  // One cycle over the instruments, without its pauses.
  static void RunCycle(const TAppConfig& cfg) {
    TVelmarServiceThread thread(cfg);
    thread.SetWaitHookForTesting([](uint32_t) {});
    for (int i = 1; i <= cfg.InstrCount; ++i) thread.ProcessInstrument(i);
  }

  // What the laboratory holds now.
  TOutcome Collect() const {
    TOutcome outcome;
    outcome.Waiting = Waiting();
    for (const std::string& folder :
         {lab_.Out, lab_.Install + "/log/done", lab_.Install + "/log/wrong_images"}) {
      if (!fs::is_directory(folder)) continue;
      for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || name.front() == '.') continue;
        outcome.Files[fs::relative(entry.path(), lab_.Root).generic_string()] =
            ReadAll(entry.path().string());
      }
    }
    outcome.QCLines = testing_support::ReadCrLfLines(lab_.Install + "/QC/log.txt");
    return outcome;
  }

  // What is wrong with the outcome, measured against a run without fault.
  std::vector<std::string> Faults(const TOutcome& run, const TOutcome& reference) const {
    std::vector<std::string> faults;
    for (const std::string& name : run.Waiting) faults.push_back("never filed: " + name);
    for (const auto& [path, bytes] : sources_) {
      const std::string done = "install/log/done/" + platform::ExtractFileName(path);
      const auto filed = run.Files.find(done);
      if (filed == run.Files.end() || filed->second != bytes) {
        faults.push_back("not filed whole: " + done);
      }
    }
    std::map<std::string, int> uploads;
    for (const auto& [path, bytes] : run.Files) {
      if (reference.Files.count(path) == 0) faults.push_back("not in a run without fault: " + path);
      if (bytes.empty()) faults.push_back("empty under a final name: " + path);
      if (HasSuffix(path, ".UPL")) {
        ++uploads[UploadSample(path)];
        if (bytes.rfind("H|", 0) != 0 || !HasSuffix(bytes, "L||\r\n")) {
          faults.push_back("torn upload file: " + path);
        }
      }
      TRaster raster;
      std::string error;
      if (HasSuffix(path, ".jpg") && !DecodeJpeg(bytes, raster, error)) {
        faults.push_back("undecodable picture: " + path + " (" + error + ")");
      }
      FreeRaster(raster);
      if (path.find("/xml/") != std::string::npos && !HasSuffix(bytes, "</doc>\r\n")) {
        faults.push_back("torn XML: " + path);
      }
    }
    for (const auto& [path, bytes] : reference.Files) {
      if (run.Files.count(path) == 0) faults.push_back("missing output: " + path);
    }
    for (const auto& [sample, count] : uploads) {
      if (count > 1) faults.push_back(std::to_string(count) + " upload files for " + sample);
    }
    std::multiset<std::string> readings, expected;  // whole lines only
    for (const std::string& line : run.QCLines) {
      if (QCFieldCount(line) == QC_FIELD_COUNT) {
        readings.insert(Reading(line));
      } else {
        faults.push_back("QC log line torn: " + line);
      }
    }
    for (const std::string& line : reference.QCLines) expected.insert(Reading(line));
    size_t lost = 0, twice = 0;
    for (const std::string& reading : std::set<std::string>(expected.begin(), expected.end())) {
      lost += expected.count(reading) - std::min(expected.count(reading), readings.count(reading));
    }
    for (const std::string& reading : std::set<std::string>(readings.begin(), readings.end())) {
      twice += readings.count(reading) - std::min(expected.count(reading), readings.count(reading));
    }
    if (lost > 0) faults.push_back(std::to_string(lost) + " QC reading(s) lost");
    if (twice > 0) faults.push_back(std::to_string(twice) + " QC reading(s) recorded twice");
    return faults;
  }

  samplelab::TLabLayout lab_;
  std::map<std::string, std::string> sources_;  // result file path -> its bytes
};

}  // namespace pipeline_lab
