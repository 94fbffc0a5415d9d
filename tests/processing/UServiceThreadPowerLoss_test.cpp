// The pipeline cut by a power loss at any point of its work. One run of the
// service on a small laboratory is recorded operation by operation through
// the file layer; then, for a crash after each operation, every state the
// disk may be found in (see PowerLossModel.h) is written back, the service
// is started on it and run until nothing waits, and the laboratory must end
// as after the run without crash: each result file filed once and whole,
// each output made once, nothing empty or torn under a final name, every
// QC reading in the log once and the due lot reported and archived.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/SystemNames.h"
#include "processing/PipelineLab.h"
#include "qc/QCFixture.h"
#include "support/PowerLossModel.h"

namespace {

using pipeline_lab::TOutcome;

// A lot already expired in the QC log when the service starts: its report is
// made, and its readings archived, at the first check.
constexpr const char* kDueLot = "LQ1901";
constexpr int kDueLotReadings = 3;

class ServiceThreadPowerLossTest : public pipeline_lab::TPipelineLabTest {
 protected:
  void SetUp() override {
    TPipelineLabTest::SetUp();
    // The QC reading of the laboratory is of a lot that expires long after
    // today: its readings stay in the log, where each must stand once.
    const std::string today = platform::FormatDateTime("yyyymmdd", platform::Now());
    for (samplelab::TSampleFile file : samplelab::SampleFiles(today)) {
      if (file.FileName != "UP_QC0001.tra") continue;
      file.Results[0].Cassettes[0].ExpDateStr = "20991231";
      sources_[platform::JoinPath(lab_.TraFolder[0], file.FileName)] =
          samplelab::BuildResultText(file, today + "093000");
    }
    // Ghostscript's part: a small PDF, written through the file layer like
    // the rest, so that the record holds it.
    SetConverterRunnerForTesting(
        [](const std::string&, const std::vector<std::string>& args, int64_t) {
          platform::TSpawnResult result;
          for (const std::string& arg : args) {
            if (arg.rfind("-sOutputFile=", 0) != 0) continue;
            const std::string path = platform::ReplaceAll(arg.substr(13), "%%", "%");
            if (platform::WriteFileBytes(path, "%PDF-1.4\n% QC report\n%%EOF\n").Ok()) {
              result.Kind = platform::TSpawnResult::TKind::exited;
            }
          }
          return result;
        });
  }
  void TearDown() override {
    SetConverterRunnerForTesting({});
    TPipelineLabTest::TearDown();
  }

  // The laboratory as made, with the due lot's readings in the QC log.
  void ResetLabWithDueLot() {
    ResetLab();
    std::string log;
    for (int i = 1; i <= kDueLotReadings; ++i) {
      log += SerializeQCLine(qc_test::MakeLine(kDueLot, "01/01/2020", "OK", std::to_string(i))) +
             "\r\n";
    }
    std::filesystem::create_directories(lab_.Install + "/QC");
    testing_support::WriteAll(lab_.Install + "/QC/log.txt", log);
    // Ghostscript beside the executable under this system's name; the runner
    // above does its part.
    testing_support::WriteAll(platform::JoinPath(lab_.Install, platform::GhostscriptProgramName()),
                              "stand-in");
  }

  // The service started on the laboratory as it stands: run until no result
  // file waits (a few cycles at most), then its QC lot check. Empty when it
  // ran, else why it did not start.
  std::string Restart() {
    TAppConfig cfg;
    TConfigValidation validation;
    if (!LoadConfig(lab_.Install + "/", cfg, validation)) {
      std::string why = "the service does not start:";
      for (const std::string& error : validation.Errors) why += " " + error;
      return why;
    }
    cfg.ColorLog = false;  // debug lines would only lengthen the sweep
    InitQCManager(cfg);
    InitLogger(cfg, "VelmarImageService");
    {
      TVelmarServiceThread thread(cfg);
      thread.SetWaitHookForTesting([](uint32_t) {});
      thread.RemoveFiledEntries();
      for (int cycle = 0; cycle < 4; ++cycle) {
        for (int i = 1; i <= cfg.InstrCount; ++i) thread.ProcessInstrument(i);
        if (Waiting().empty()) break;
      }
    }
    CheckAndGenerateReports(cfg);
    FinalizeLogger();
    FinalizeQCManager();
    return "";
  }
};

}  // namespace

TEST_F(ServiceThreadPowerLossTest, PowerLossAtAnyPointLosesNothingAndMakesNothingTwice) {
  ResetLabWithDueLot();
  const testing_support::TPowerLossModel model(lab_.Root);
  platform::StartFileRecordingForTesting();
  const std::string started = Restart();
  const std::vector<platform::TFileOp> ops = platform::StopFileRecordingForTesting();
  ASSERT_EQ(started, "");
  const TOutcome reference = Collect();
  ASSERT_EQ(pipeline_lab::Lines(Faults(reference, reference)), "");
  // The reading's six lines stay; the due lot's left the log for its report.
  ASSERT_EQ(reference.QCLines.size(), 6u);
  ASSERT_TRUE(std::any_of(reference.Files.begin(), reference.Files.end(), [](const auto& f) {
    return f.first.find(std::string("qc-reports/QC_Report_") + kDueLot) != std::string::npos;
  }));

  std::vector<std::string> faults;
  int states = 0;
  model.ForEachState(ops, [&](const std::string& label, const testing_support::TDiskState& state) {
    ++states;
    model.Write(state);
    const std::string restarted = Restart();
    if (!restarted.empty()) {
      faults.push_back(label + ": " + restarted);
      return;
    }
    for (const std::string& fault : Faults(Collect(), reference)) {
      faults.push_back(label + ": " + fault);
    }
    // Every file was filed: no entry of a file in progress may be left.
    std::vector<std::string> entries;
    if (platform::ListFiles(lab_.Install + "/log/journal", "*.jnl", entries).Ok()) {
      for (const std::string& entry : entries) faults.push_back(label + ": entry left: " + entry);
    }
  });
  std::printf("power loss: %zu operations recorded, %d distinct states rebuilt and restarted\n",
              ops.size(), states);
  EXPECT_GT(states, 100);
  EXPECT_TRUE(faults.empty()) << faults.size() << " fault(s):\n" << pipeline_lab::Lines(faults);
}
