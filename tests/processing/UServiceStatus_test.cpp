#include "processing/UServiceStatus.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "processing/UServiceThread.h"
#include "support/TempFolder.h"

using testing_support::AnyLineHas;
using testing_support::ReadCrLfLines;
using testing_support::WriteAll;

namespace {

class StatusTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    cfg_.ExeFolder = Path("");
    cfg_.LogFolder = Path("log");
    cfg_.Prefix = "";
    cfg_.Extension = "tra";
    cfg_.Cycle = 5;
    cfg_.StartingDelay = 0;
    cfg_.InstrCount = 0;
    sink_ = std::make_shared<testing_support::TRecordingEventSink>();
    SetEventSinkForTesting(sink_);
    InitLogger(cfg_, "VelmarImageService");
  }
  void TearDown() override {
    FinalizeLogger();
    SetEventSinkForTesting(nullptr);
    platform::SetNowForTesting({});
    TempFolderTest::TearDown();
  }
  void AddInstrument(const std::string& tra) {
    TInstrumentConfig& instr = cfg_.Instruments[cfg_.InstrCount++];
    instr.TraFolder = tra;
    instr.ImagesFolder = Path("images");
    instr.Enabled = true;
  }
  int Status(std::string* text = nullptr) {
    std::ostringstream out;
    const int code = PrintServiceStatus(cfg_.ExeFolder, out);
    if (text != nullptr) *text = out.str();
    return code;
  }
  // The events about instrument n.
  std::vector<testing_support::TRecordedEvent> EventsOf(int n) {
    std::vector<testing_support::TRecordedEvent> found;
    for (const auto& e : sink_->Events()) {
      for (const auto& [name, value] : e.Details.Fields) {
        if (name == "VELMAR_INSTRUMENT" && value == std::to_string(n)) found.push_back(e);
      }
    }
    return found;
  }

  TAppConfig cfg_;
  std::shared_ptr<testing_support::TRecordingEventSink> sink_;
};

}  // namespace

TEST_F(StatusTest, AnInstrumentsOwnFlagExistsExactlyWhileItsFolderIsUnreachable) {
  std::filesystem::create_directories(Path("tra2"));
  AddInstrument(Path("tra1"));
  AddInstrument(Path("tra2"));
  WriteAll(Path("instrument_error_2.flag"), "left by an earlier run\r\n");
  TVelmarServiceThread thread(cfg_);
  const auto Cycle = [&] {
    for (int i = 1; i <= cfg_.InstrCount; ++i) thread.ProcessInstrument(i);
  };
  for (int i = 0; i < 3; ++i) {
    Cycle();
    // The shared flag is cleared by instrument 2 in the same cycle; instrument
    // 1's own flag stays, with the one line of the outage's start.
    EXPECT_FALSE(platform::FileExists(Path("instrument_error.flag")));
    EXPECT_EQ(ReadCrLfLines(Path("instrument_error_1.flag")).size(), 1u);
    EXPECT_FALSE(platform::FileExists(Path("instrument_error_2.flag")));
  }
  std::filesystem::create_directories(Path("tra1"));
  Cycle();
  Cycle();
  EXPECT_FALSE(platform::FileExists(Path("instrument_error_1.flag")));

  // Each change reaches the event log once, with the instrument as a field.
  const auto events = EventsOf(1);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].EventId, EVT_INSTRUMENT_ERROR);
  EXPECT_EQ(events[0].Kind, platform::TEventKind::warning);
  EXPECT_EQ(events[1].EventId, EVT_INSTRUMENT_OK);
  EXPECT_NE(events[1].Message.find("Instrument 1 — dossier TRA de nouveau accessible"),
            std::string::npos);
  EXPECT_TRUE(EventsOf(2).empty());
}

TEST_F(StatusTest, TheStatusAfterACycleAndWhatMonitoringIsTold) {
  std::filesystem::create_directories(Path("tra1"));
  AddInstrument(Path("tra1"));
  EXPECT_EQ(Status(), STATUS_CRITICAL);  // never started

  TVelmarServiceThread thread(cfg_);
  std::string during;  // the status file while the thread rests after cycle 1
  int codeDuring = -1, flaggedDuring = -1;
  thread.SetWaitHookForTesting([&](uint32_t) {
    if (!during.empty()) return;
    (void)platform::ReadFileBytes(Path("status.txt"), during);
    codeDuring = Status();
    WriteAll(Path("processing_error.flag"), "x\r\n");
    flaggedDuring = Status();
    std::filesystem::remove(Path("processing_error.flag"));
    thread.RequestStop();
  });
  thread.Execute();
  EXPECT_NE(during.find("etat=en marche\n"), std::string::npos) << during;
  EXPECT_NE(during.find("cycle=1\n"), std::string::npos);
  EXPECT_NE(during.find("instrument_1=accessible " + Path("tra1") + "\n"), std::string::npos);
  EXPECT_NE(during.find("fichiers_traites=0\n"), std::string::npos);
  EXPECT_NE(during.find("drapeaux=\n"), std::string::npos);
  EXPECT_EQ(codeDuring, STATUS_OK);
  EXPECT_EQ(flaggedDuring, STATUS_WARNING);

  // Ended: critical, and so is a status left unchanged for longer than two
  // cycles plus a minute.
  std::string text;
  EXPECT_EQ(Status(&text), STATUS_CRITICAL);
  EXPECT_EQ(text.rfind("CRITIQUE — service arrêté", 0), 0u) << text;
  ASSERT_TRUE(platform::WriteFileBytes(Path("status.txt"), during).Ok());
  const TDateTime now = platform::Now();
  platform::SetNowForTesting([now] { return now + 69.0 / 86400; });
  EXPECT_EQ(Status(), STATUS_OK);
  platform::SetNowForTesting([now] { return now + 72.0 / 86400; });
  EXPECT_EQ(Status(), STATUS_CRITICAL);

  // Emptied by a power loss before its content reached the disk: unreadable.
  ASSERT_TRUE(platform::WriteFileBytes(Path("status.txt"), "").Ok());
  EXPECT_EQ(Status(&text), STATUS_CRITICAL);
  EXPECT_EQ(text, "CRITIQUE — fichier d'état illisible (" + Path("status.txt") +
                      ") : vide ou incomplet\n");
}

TEST_F(StatusTest, TheWatchdogHearsFromTheThreadThroughoutALongRest) {
  cfg_.Cycle = 3600;
  TVelmarServiceThread thread(cfg_);
  int pings = 0, slices = 0;
  uint32_t longest = 0, rested = 0;
  thread.SetPingForTesting([&] { ++pings; });
  thread.SetWaitHookForTesting([&](uint32_t ms) {
    ++slices;
    longest = std::max(longest, ms);
    rested += ms;
    if (rested >= 3600000) thread.RequestStop();
  });
  thread.Execute();
  EXPECT_EQ(rested, 3600000u);
  EXPECT_LE(longest, WAIT_SLICE_MS);
  EXPECT_GE(pings, slices);  // one before every slice at least
}
