#include "logging/ULogger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "support/TempFolder.h"

using testing_support::ReadAll;
using testing_support::TRecordingEventSink;

namespace {

TDateTime FixedTime() {
  platform::TDateParts p;
  p.Year = 2025, p.Month = 3, p.Day = 14, p.Hour = 9, p.Minute = 30;
  TDateTime t = 0;
  platform::TryEncodeDateTime(p, t);
  return t;
}

class LoggerTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    platform::SetNowForTesting([] { return FixedTime(); });
    sink_ = std::make_shared<TRecordingEventSink>();
    SetEventSinkForTesting(sink_);
  }
  void TearDown() override {
    FinalizeLogger();
    SetEventSinkForTesting(nullptr);
    platform::SetNowForTesting(nullptr);
    TempFolderTest::TearDown();
  }
  void Start(bool colorLog = false) {
    TAppConfig cfg;
    cfg.ExeFolder = Path("");
    cfg.LogFolder = Path("log");
    cfg.ColorLog = colorLog;
    InitLogger(cfg, "VelmarImageService");
  }
  std::vector<std::string> Lines(const std::string& name) {
    return testing_support::ReadAnsiLines(Path(name));
  }

  std::shared_ptr<TRecordingEventSink> sink_;
};

}  // namespace

TEST_F(LoggerTest, FirstLineAndLineFormat) {
  Start();
  LogInfo("Thread", "Bonjour");
  EXPECT_EQ(Lines("log/service.log"),
            (std::vector<std::string>{
                "[2025-03-14 09:30:00] [INFO    ] [LOGGER] Logger initialisé — Service: "
                "VelmarImageService — Niveau: INFO    ",
                "[2025-03-14 09:30:00] [INFO    ] [THREAD] Bonjour"}));
}

TEST_F(LoggerTest, RoutingByLevelAndEventId) {
  Start();
  LogDebug("x", "invisible");
  LogWarning("x", "warn no id", 0);
  LogWarning("x", "warn id", 4002);
  LogError("x", "error no id", 0);
  LogCritical("x", "critical id", 3000);
  EXPECT_FALSE(platform::FileExists(Path("log/debug.log")));
  const auto service = Lines("log/service.log");
  ASSERT_EQ(service.size(), 5u);
  EXPECT_EQ(service[1], "[2025-03-14 09:30:00] [WARNING ] [X] warn no id");
  EXPECT_EQ(service[4], "[2025-03-14 09:30:00] [CRITICAL] [X] critical id");
  const auto errors = Lines("log/error.log");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "[2025-03-14 09:30:00] [ERROR   ] [X] error no id");
  const auto events = sink_->Events();
  ASSERT_EQ(events.size(), 2u);  // only warnings and worse with an id
  EXPECT_EQ(events[0].EventId, 4002u);
  EXPECT_EQ(events[0].Kind, platform::TEventKind::warning);
  EXPECT_EQ(events[0].Message, "[WARNING ] [X] warn id");  // the event log keeps its own time
  EXPECT_EQ(events[1].Kind, platform::TEventKind::error);
}

TEST_F(LoggerTest, DebugLinesGoToDebugLogOnlyWhenEnabled) {
  Start(true);
  LogDebug("astm", "detail");
  EXPECT_EQ(Lines("log/debug.log"),
            (std::vector<std::string>{"[2025-03-14 09:30:00] [DEBUG   ] [ASTM] detail"}));
  EXPECT_EQ(Lines("log/service.log").size(), 1u);  // the logger's own line only
  EXPECT_NE(Lines("log/service.log")[0].find("Niveau: DEBUG   "), std::string::npos);
}

TEST_F(LoggerTest, NothingIsWrittenBeforeInitOrAfterFinalize) {
  LogError("x", "before", 5000);
  Start();
  FinalizeLogger();
  FinalizeLogger();
  LogError("x", "after", 5000);
  const auto service = Lines("log/service.log");
  ASSERT_EQ(service.size(), 2u);
  EXPECT_EQ(service[1],
            "[2025-03-14 09:30:00] [INFO    ] [LOGGER] Logger finalisé — arrêt service");
  EXPECT_FALSE(platform::FileExists(Path("log/error.log")));
}

TEST_F(LoggerTest, FilesAreWindows1252WithCrLf) {
  Start();
  LogInfo("x", "é — €");
  const std::string bytes = ReadAll(Path("log/service.log"));
  EXPECT_NE(bytes.find("[X] \xE9 \x97 \x80\r\n"), std::string::npos);
}

TEST_F(LoggerTest, RotationAtExactlyMaxBytesAndOneMore) {
  Start();
  const std::string file = Path("log/debug.log");
  testing_support::WriteAll(file, std::string(100, 'a'));
  RotateFile(file, 100);
  EXPECT_EQ(platform::FileSize(file), 100);
  testing_support::WriteAll(file, std::string(101, 'a'));
  RotateFile(file, 100);
  EXPECT_EQ(platform::FileSize(file), 0);
  EXPECT_EQ(platform::FileSize(Path("log/debug_2025-03-14_09-30-00.log")), 101);

  // A second rotation in the same second finds the archive name taken.
  testing_support::WriteAll(file, std::string(150, 'b'));
  RotateFile(file, 100);
  EXPECT_EQ(platform::FileSize(file), 150);
  EXPECT_EQ(platform::FileSize(Path("log/debug_2025-03-14_09-30-00.log")), 101);
}

TEST_F(LoggerTest, RotateLogsIfNeededRotatesTheThreeFiles) {
  Start();
  LogError("x", std::string(200, 'e'), 0);
  RotateLogsIfNeeded(100);
  EXPECT_EQ(platform::FileSize(Path("log/service.log")), 0);
  EXPECT_EQ(platform::FileSize(Path("log/error.log")), 0);
  EXPECT_TRUE(platform::FileExists(Path("log/service_2025-03-14_09-30-00.log")));
  EXPECT_TRUE(platform::FileExists(Path("log/error_2025-03-14_09-30-00.log")));
  EXPECT_FALSE(platform::FileExists(Path("log/debug.log")));
}

TEST_F(LoggerTest, FlagsAppendOneLinePerRaiseAndClearQuietly) {
  Start();
  ClearFlag(FLAG_INSTRUMENT_ERROR);  // no file: nothing logged
  for (int i = 1; i <= 3; ++i) SetFlag(FLAG_PROCESSING_ERROR, "raison " + std::to_string(i));
  EXPECT_EQ(
      Lines("processing_error.flag"),
      (std::vector<std::string>{"[2025-03-14 09:30:00] raison 1", "[2025-03-14 09:30:00] raison 2",
                                "[2025-03-14 09:30:00] raison 3"}));
  ClearFlag(FLAG_PROCESSING_ERROR);
  EXPECT_FALSE(platform::FileExists(Path("processing_error.flag")));
  const auto service = Lines("log/service.log");
  ASSERT_EQ(service.size(), 5u);
  EXPECT_EQ(service[1],
            "[2025-03-14 09:30:00] [WARNING ] [FLAG] FLAG posé : processing_error.flag — raison 1");
  EXPECT_EQ(service[4],
            "[2025-03-14 09:30:00] [INFO    ] [FLAG] FLAG effacé : processing_error.flag");
}

TEST_F(LoggerTest, FlagsAreLeftAloneWhileTheLoggerIsStopped) {
  Start();
  SetFlag(FLAG_PROCESSING_ERROR, "raison 1");
  FinalizeLogger();
  SetFlag(FLAG_PROCESSING_ERROR, "raison 2");
  ClearFlag(FLAG_PROCESSING_ERROR);
  EXPECT_EQ(Lines("processing_error.flag"),
            (std::vector<std::string>{"[2025-03-14 09:30:00] raison 1"}));
}

TEST_F(LoggerTest, ValidationReportOrder) {
  Start();
  TConfigValidation v;
  AddError(v, "e1");
  AddWarning(v, "w1");
  AddError(v, "e2");
  LogConfigValidation(v);
  const auto service = Lines("log/service.log");
  ASSERT_EQ(service.size(), 5u);
  EXPECT_EQ(service[1],
            "[2025-03-14 09:30:00] [ERROR   ] [CONFIG] Configuration invalide — 2 erreur(s)");
  EXPECT_EQ(service[2], "[2025-03-14 09:30:00] [ERROR   ] [CONFIG] [ERREUR] e1");
  EXPECT_EQ(service[3], "[2025-03-14 09:30:00] [ERROR   ] [CONFIG] [ERREUR] e2");
  EXPECT_EQ(service[4], "[2025-03-14 09:30:00] [WARNING ] [CONFIG] [AVERT.] w1");
  EXPECT_EQ(sink_->Events().back().EventId, EVT_CONFIG_WARNING);

  TConfigValidation ok;
  AddWarning(ok, "w");
  LogConfigValidation(ok);
  const auto after = Lines("log/service.log");
  EXPECT_EQ(after[5],
            "[2025-03-14 09:30:00] [INFO    ] [CONFIG] Configuration validée sans erreur");
}

TEST_F(LoggerTest, TwoThreadsNeverTearOrInterleaveALine) {
  Start();
  constexpr int kLines = 2000;
  auto writer = [](char c) {
    const std::string body(150, c);
    for (int i = 0; i < kLines; ++i) {
      LogInfo("t", body);
      if (i % 100 == 0) SetFlag(FLAG_PROCESSING_ERROR, body);
    }
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  const auto lines = Lines("log/service.log");
  int count = 0;
  for (const auto& l : lines) {
    if (l.find("[T] ") == std::string::npos) continue;
    ++count;
    const std::string body = l.substr(l.find("[T] ") + 4);
    EXPECT_TRUE(body == std::string(150, 'a') || body == std::string(150, 'b')) << l;
  }
  EXPECT_EQ(count, 2 * kLines);
  for (const auto& l : Lines("processing_error.flag")) {
    EXPECT_EQ(l.size(), std::string("[2025-03-14 09:30:00] ").size() + 150) << l;
  }
}

TEST_F(LoggerTest, AnUnwritableLogIsReportedOnceAndSoIsItsReturn) {
  testing_support::WriteAll(Path("log"), "a file, not a folder");
  Start();  // the logger's first line finds the log folder unusable
  EXPECT_NE(LogWriteFailure().find(Path("log/service.log")), std::string::npos);
  LogError("x", "lost", 5000);
  LogError("x", "lost too", 0);
  auto events = sink_->Events();
  // Each log file's first failed line is reported, once; the error's own
  // event still goes out.
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].Kind, platform::TEventKind::error);
  EXPECT_EQ(events[0].EventId, EVT_LOG_WRITE_ERROR);
  // The reason is the system's own text ("Not a directory" on Linux).
  const std::string reported = "[ERROR   ] [LOGGER] Écriture du journal impossible : open '" +
                               Path("log/service.log") + "': ";
  EXPECT_EQ(events[0].Message.substr(0, reported.size()), reported);
  EXPECT_GT(events[0].Message.size(), reported.size());
  EXPECT_EQ(events[1].EventId, EVT_LOG_WRITE_ERROR);
  EXPECT_NE(events[1].Message.find(Path("log/error.log")), std::string::npos);
  EXPECT_EQ(events[2].EventId, 5000u);

  // Once the folder can be written again, the first line that goes through
  // says so, and the lines after it are written as usual.
  std::filesystem::remove(Path("log"));
  std::filesystem::create_directory(Path("log"));
  LogError("x", "back", 0);
  LogError("x", "again", 0);
  events = sink_->Events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[3].Kind, platform::TEventKind::information);
  EXPECT_EQ(events[3].EventId, EVT_LOG_WRITE_OK);
  EXPECT_EQ(events[3].Message, "[INFO    ] [LOGGER] Écriture du journal rétablie : service.log");
  EXPECT_EQ(events[4].Message, "[INFO    ] [LOGGER] Écriture du journal rétablie : error.log");
  EXPECT_EQ(LogWriteFailure(), "");
  EXPECT_EQ(Lines("log/service.log").size(), 2u);
}

TEST_F(LoggerTest, ControlCharactersInValuesCannotForgeALine) {
  Start();
  // A result file named with a line feed that imitates a line of the log,
  // and a terminal escape.
  const std::string name = "UP_1.tra\n[2025-03-14 09:30:00] [INFO    ] [THREAD] faux\r\t\x1b[2J";
  LogWarning("Thread", "Traitement : " + name, 0);
  SetFlag(FLAG_PROCESSING_ERROR, "Fichier : " + name);
  const std::string escaped =
      "UP_1.tra\\n[2025-03-14 09:30:00] [INFO    ] [THREAD] faux\\r\\t\\x1b[2J";
  const auto service = Lines("log/service.log");
  ASSERT_EQ(service.size(), 3u);
  EXPECT_EQ(service[1], "[2025-03-14 09:30:00] [WARNING ] [THREAD] Traitement : " + escaped);
  EXPECT_EQ(service[2],
            "[2025-03-14 09:30:00] [WARNING ] [FLAG] FLAG posé : processing_error.flag"
            " — Fichier : " +
                escaped);
  EXPECT_EQ(Lines("processing_error.flag"),
            std::vector<std::string>{"[2025-03-14 09:30:00] Fichier : " + escaped});
}

TEST_F(LoggerTest, CriticalLinesAndLinesAboutAnInstrumentReachTheEventLogAsSuch) {
  Start();
  LogCritical("x", "critical id", 3000);
  LogError("x", "error id", 3000);
  LogEvent(llInfo, "x", "back again", EVT_INSTRUMENT_OK, {{"VELMAR_INSTRUMENT", "2"}});
  const auto events = sink_->Events();
  ASSERT_EQ(events.size(), 3u);  // an information line reaches it when sent as an event
  EXPECT_TRUE(events[0].Details.Critical);
  EXPECT_FALSE(events[1].Details.Critical);
  EXPECT_EQ(events[2].Kind, platform::TEventKind::information);
  EXPECT_EQ(events[2].Details.Fields,
            (std::vector<std::pair<std::string, std::string>>{{"VELMAR_INSTRUMENT", "2"}}));
  EXPECT_EQ(Lines("log/service.log").back(), "[2025-03-14 09:30:00] [INFO    ] [X] back again");
}
