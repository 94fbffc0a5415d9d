#include "processing/UServiceThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "support/TempFolder.h"

using testing_support::AnyLineHas;
using testing_support::ReadCrLfLines;
using testing_support::WriteAll;

namespace {

const char* kValidMessage =
    "H|\\^&|||Velmar^GS^5.2.1^VLM0001|||||||P|LIS2-A|20261209093000\r\n"
    "P|1|PID1|||DOE^John||19800101|M\r\n"
    "O|1|S1||ABO|R|20261209080000\r\n"
    "R|1|XM|OK\r\n"
    "M|1|Anti-A|ABO^1^123456^L1^20271231^a_B.jpg^a_C.jpg|Anti-A^R1^20280101|40^\r\n"
    "L|1|N\r\n";

class ThreadTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    cfg_.ExeFolder = dir_ + "/";
    cfg_.LogFolder = dir_ + "/log";
    cfg_.ColorLog = true;
    cfg_.Prefix = "";
    cfg_.Extension = "tra";
    cfg_.Cycle = 0;
    cfg_.StartingDelay = 0;
    cfg_.InstrCount = 0;
    InitLogger(cfg_, "VelmarImageService");
  }
  void TearDown() override {
    FinalizeLogger();
    TempFolderTest::TearDown();
  }
  void AddInstrument(const std::string& tra) {
    TInstrumentConfig& instr = cfg_.Instruments[cfg_.InstrCount++];
    instr.TraFolder = tra;
    instr.ImagesFolder = Path("images");
    instr.Enabled = true;
  }
  std::vector<std::string> Log(const std::string& file = "log/service.log") {
    return testing_support::ReadLogLines(Path(file));
  }
  // Every timed wait of the thread returns at once, as if its time were up.
  static void WithoutPauses(TVelmarServiceThread& thread) {
    thread.SetWaitHookForTesting([](uint32_t) {});
  }
  static void WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 6000 && !done(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  TAppConfig cfg_;
};

}  // namespace

TEST_F(ThreadTest, StopDuringTheStartUpDelayRunsNoCycle) {
  cfg_.StartingDelay = 300;
  TVelmarServiceThread thread(cfg_);
  thread.Start();
  thread.RequestStop();
  EXPECT_TRUE(thread.WaitForStop(60000));
  EXPECT_EQ(thread.CycleCount(), 0);
  const auto log = Log();
  EXPECT_TRUE(AnyLineHas(log, "[THREAD] Délai démarrage : 300 seconde(s)..."));
  EXPECT_TRUE(AnyLineHas(log, "[THREAD] Arrêt demandé pendant délai démarrage"));
  EXPECT_FALSE(AnyLineHas(log, "Thread termine"));
}

TEST_F(ThreadTest, StopDuringTheRestEndsAfterTheCurrentCycle) {
  cfg_.Cycle = 3600;
  TVelmarServiceThread thread(cfg_);
  EXPECT_TRUE(thread.WaitForStop(0));  // never started
  thread.Start();
  WaitUntil([&] { return thread.CycleCount() == 1; });
  EXPECT_FALSE(thread.WaitForStop(50));  // resting
  thread.RequestStop();
  EXPECT_TRUE(thread.WaitForStop(60000));
  const auto log = Log();
  EXPECT_TRUE(AnyLineHas(log, "[THREAD] Thread service créé — Cycle: 3600s | Instruments: 0"));
  EXPECT_TRUE(AnyLineHas(log, "[THREAD] Signal arrêt reçu après cycle 1"));
  EXPECT_TRUE(AnyLineHas(log, "[THREAD] Thread termine — 1 cycle(s) effectue(s)"));
  EXPECT_TRUE(AnyLineHas(Log("log/debug.log"), "[THREAD] --- Cycle 1 terminé — attente 3600s ---"));
}

TEST_F(ThreadTest, DestroyingARunningThreadEndsItsWaitAtOnce) {
  cfg_.Cycle = 3600;
  for (int delay : {3600, 0}) {  // destroyed in the start-up delay, then in the rest
    cfg_.StartingDelay = delay;
    auto thread = std::make_unique<TVelmarServiceThread>(cfg_);
    TVelmarServiceThread* const running = thread.get();
    thread->Start();
    if (delay == 0) WaitUntil([&] { return running->CycleCount() == 1; });
    std::future<void> destroyed =
        std::async(std::launch::async, [owned = std::move(thread)]() mutable { owned.reset(); });
    const bool prompt = destroyed.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!prompt) running->RequestStop();  // lets the stuck join end the test
    ASSERT_TRUE(prompt) << "delay " << delay;
  }
  EXPECT_FALSE(AnyLineHas(Log(), "Arrêt demandé — fin du cycle en cours..."));
}

TEST_F(ThreadTest, LogRotationRunsOnEveryHundredthCycle) {
  for (int stopAt : {99, 100}) {
    WriteAll(Path("log/debug.log"), std::string(LOG_ROTATION_MAX_BYTES + 1, 'x'));
    TVelmarServiceThread thread(cfg_);
    std::vector<int> periodic;
    thread.SetTestHookForTesting([&](const std::string& point, int index) {
      if (point != "periodic") return;
      periodic.push_back(index);
      if (index == stopAt) thread.RequestStop();
    });
    thread.Start();
    ASSERT_TRUE(thread.WaitForStop(60000));
    EXPECT_EQ(periodic.size(), static_cast<size_t>(stopAt));
    std::vector<std::string> archives;
    ASSERT_TRUE(platform::ListFiles(Path("log"), "debug_*.log", archives).Ok());
    EXPECT_EQ(archives.size(), stopAt == 100 ? 1u : 0u) << stopAt;
    std::filesystem::remove_all(Path("log"));
    std::filesystem::create_directories(Path("log"));
  }
}

TEST_F(ThreadTest, AnExceptionEndsOnlyTheCurrentCycle) {
  for (int i = 1; i <= 3; ++i) AddInstrument(Path("missing" + std::to_string(i)));
  TVelmarServiceThread thread(cfg_);
  std::vector<std::pair<int, int>> visits;  // (cycle, instrument)
  thread.SetTestHookForTesting([&](const std::string& point, int index) {
    if (point != "instrument") return;
    visits.push_back({static_cast<int>(thread.CycleCount()), index});
    if (thread.CycleCount() == 1 && index == 2) throw std::runtime_error("boom");
    if (thread.CycleCount() == 2 && index == 3) thread.RequestStop();
  });
  thread.Start();
  ASSERT_TRUE(thread.WaitForStop(60000));
  EXPECT_EQ(visits, (std::vector<std::pair<int, int>>{{1, 1}, {1, 2}, {2, 1}, {2, 2}, {2, 3}}));
  const auto log = Log();
  EXPECT_TRUE(AnyLineHas(log, "[ERROR   ] [THREAD] Exception cycle 1 : boom"));
  EXPECT_TRUE(AnyLineHas(ReadCrLfLines(Path("processing_error.flag")), "Exception thread : boom"));
  EXPECT_TRUE(AnyLineHas(log, "Thread termine — 2 cycle(s) effectue(s)"));
}

TEST_F(ThreadTest, InstrumentFlagShowsTheLastInstrumentVisited) {
  std::filesystem::create_directories(Path("tra2"));
  AddInstrument(Path("missing"));
  AddInstrument(Path("tra2"));
  TVelmarServiceThread thread(cfg_);
  thread.ProcessInstrument(1);
  EXPECT_TRUE(platform::FileExists(Path("instrument_error.flag")));
  thread.ProcessInstrument(2);
  EXPECT_FALSE(platform::FileExists(Path("instrument_error.flag")));
  thread.ProcessInstrument(0);  // outside 1..10: no effect
  thread.ProcessInstrument(11);
  const auto log = Log();
  EXPECT_TRUE(AnyLineHas(
      log, "[WARNING ] [THREAD] Instrument 1 — dossier TRA inaccessible : " + Path("missing")));
  EXPECT_TRUE(AnyLineHas(log,
                         "[WARNING ] [FLAG] FLAG posé : instrument_error.flag — Instrument 1 "
                         "dossier inaccessible : " +
                             Path("missing")));
}

TEST_F(ThreadTest, FindTRAFilesFiltersAndSortsWithoutCase) {
  std::filesystem::create_directories(Path("tra/sub.tra"));
  for (const char* n : {"B.tra", "a.tra", "C.tra", "x.TRA", "notes.txt", "UPz.tra"}) {
    WriteAll(Path(std::string("tra/") + n), "x");
  }
  TVelmarServiceThread thread(cfg_);
  std::vector<std::string> files;
  EXPECT_EQ(thread.FindTRAFiles(Path("tra"), files), 5);
  std::vector<std::string> names;
  for (const auto& f : files) names.push_back(platform::ExtractFileName(f));
  EXPECT_EQ(names, (std::vector<std::string>{"a.tra", "B.tra", "C.tra", "UPz.tra", "x.TRA"}));
  EXPECT_EQ(files[0], Path("tra/a.tra"));

  cfg_.Prefix = "up";
  TVelmarServiceThread prefixed(cfg_);
  EXPECT_EQ(prefixed.FindTRAFiles(Path("tra"), files), 1);
  EXPECT_EQ(prefixed.FindTRAFiles(Path("gone"), files), 0);
  EXPECT_TRUE(AnyLineHas(Log(), "[WARNING ] [THREAD] Dossier TRA introuvable : " + Path("gone")));
  EXPECT_TRUE(
      AnyLineHas(Log("log/debug.log"), "5 fichier(s) .tra trouvé(s) dans : " + Path("tra")));
}

TEST_F(ThreadTest, StabilityOfEmptyVanishedGrowingAndFinishedFiles) {
  TVelmarServiceThread thread(cfg_);
  std::vector<uint32_t> pauses;
  int growFor = 0;  // pauses during which the writer adds to growing.tra
  thread.SetWaitHookForTesting([&](uint32_t ms) {
    pauses.push_back(ms);
    if (growFor > 0) {
      --growFor;
      (void)platform::AppendToFile(Path("growing.tra"), "x");
    }
  });
  WriteAll(Path("done.tra"), "complete");
  EXPECT_TRUE(thread.IsFileStable(Path("done.tra")));
  EXPECT_FALSE(thread.IsFileStable(Path("vanished.tra")));

  WriteAll(Path("empty.tra"), "");
  EXPECT_FALSE(thread.IsFileStable(Path("empty.tra")));
  const auto debug = Log("log/debug.log");
  EXPECT_EQ(std::count_if(debug.begin(), debug.end(),
                          [](const std::string& l) {
                            // "→" has no Windows-1252 form: the log file holds "?".
                            return l.find("Fichier en cours d'écriture — taille 0?0 : empty.tra") !=
                                   std::string::npos;
                          }),
            10);
  EXPECT_TRUE(AnyLineHas(
      Log(), "[WARNING ] [THREAD] Timeout stabilité fichier après 10 tentatives : empty.tra"));

  // A file still being written settles once the writer is done.
  WriteAll(Path("growing.tra"), "H");
  growFor = 3;
  pauses.clear();
  EXPECT_TRUE(thread.IsFileStable(Path("growing.tra")));
  EXPECT_EQ(pauses, std::vector<uint32_t>(4, FILE_STABILITY_WAIT_MS));
  EXPECT_TRUE(AnyLineHas(Log("log/debug.log"), "taille 3?4 : growing.tra"));
}

TEST_F(ThreadTest, StopIsSeenDuringTheStabilityPause) {
  TVelmarServiceThread thread(cfg_);
  WriteAll(Path("a.tra"), "x");
  thread.RequestStop();
  EXPECT_FALSE(thread.IsFileStable(Path("a.tra")));

  // A stop arriving in the middle of the pause ends it: the file is not stable.
  TVelmarServiceThread paused(cfg_);
  int pauses = 0;
  paused.SetWaitHookForTesting([&](uint32_t) {
    ++pauses;
    paused.RequestStop();
  });
  EXPECT_FALSE(paused.IsFileStable(Path("a.tra")));
  EXPECT_EQ(pauses, 1);
}

TEST_F(ThreadTest, DoneFolderKeepsTheNewestThousandByName) {
  TVelmarServiceThread thread(cfg_);
  std::filesystem::create_directories(thread.DoneFolder());
  for (int i = 0; i < 1000; ++i) {
    WriteAll(thread.DoneFolder() + "/" + platform::Format("f%04d.tra", i + 1), "x");
  }
  WriteAll(thread.DoneFolder() + "/A_first.tra", "old");  // sorts first without case
  WriteAll(Path("A_first.tra"), "new");
  ASSERT_TRUE(thread.MoveToDone(Path("A_first.tra")));  // replaces: still 1001
  EXPECT_FALSE(platform::FileExists(Path("A_first.tra")));
  std::vector<std::string> names;
  ASSERT_TRUE(platform::ListFiles(thread.DoneFolder(), "*", names).Ok());
  EXPECT_EQ(names.size(), 1000u);
  EXPECT_EQ(names.front(), "f0001.tra");  // A_first.tra was the one pruned
  EXPECT_TRUE(
      AnyLineHas(Log("log/debug.log"), "Done : 1 fichier(s) supprimé(s) — limite 1000 atteinte"));
}

TEST_F(ThreadTest, MoveToDoneReplacesAnOlderCopyAndCreatesTheFolder) {
  TVelmarServiceThread thread(cfg_);
  WriteAll(Path("r.tra"), "second");
  ASSERT_TRUE(thread.MoveToDone(Path("r.tra")));
  EXPECT_EQ(testing_support::ReadAll(thread.DoneFolder() + "/r.tra"), "second");
  EXPECT_TRUE(AnyLineHas(Log("log/debug.log"), "[THREAD] Déplacé vers done : r.tra"));
  EXPECT_FALSE(thread.MoveToDone(Path("missing.tra")));
  EXPECT_TRUE(AnyLineHas(Log(), "[ERROR   ] [THREAD] Erreur déplacement vers done : "));
}

TEST_F(ThreadTest, DoneFolderThatCannotBeCreatedLeavesTheFile) {
  WriteAll(Path("log/done"), "a file where the done folder should be");
  TVelmarServiceThread thread(cfg_);
  WriteAll(Path("r.tra"), "x");
  EXPECT_FALSE(thread.MoveToDone(Path("r.tra")));
  EXPECT_TRUE(platform::FileExists(Path("r.tra")));
  EXPECT_TRUE(AnyLineHas(
      Log(), "[ERROR   ] [THREAD] Impossible de créer dossier done : " + Path("log/done")));
}

TEST_F(ThreadTest, PipelineOutcomes) {
  TVelmarServiceThread thread(cfg_);
  WithoutPauses(thread);
  // Unstable: stays in place.
  WriteAll(Path("tra/empty.tra"), "");
  EXPECT_FALSE(thread.ProcessTRAFile(Path("tra/empty.tra"), Path("images")));
  EXPECT_TRUE(platform::FileExists(Path("tra/empty.tra")));
  // Not a message: moved to done, never parsed again.
  WriteAll(Path("tra/bad.tra"), "garbage\r\n");
  EXPECT_FALSE(thread.ProcessTRAFile(Path("tra/bad.tra"), Path("images")));
  EXPECT_FALSE(platform::FileExists(Path("tra/bad.tra")));
  EXPECT_TRUE(platform::FileExists(Path("log/done/bad.tra")));
  // A message: every stage runs, then done.
  WriteAll(Path("tra/good.tra"), kValidMessage);
  EXPECT_TRUE(thread.ProcessTRAFile(Path("tra/good.tra"), Path("images")));
  EXPECT_TRUE(platform::FileExists(Path("log/done/good.tra")));

  const auto log = Log();
  EXPECT_TRUE(AnyLineHas(log, "[INFO    ] [THREAD] Traitement : empty.tra"));
  EXPECT_TRUE(AnyLineHas(
      log, "[WARNING ] [THREAD] Fichier instable — reporté au prochain cycle : empty.tra"));
  EXPECT_TRUE(AnyLineHas(log, "[ERROR   ] [THREAD] Parsing ASTM échoué : bad.tra"));
  EXPECT_FALSE(AnyLineHas(log, "Traitement incomplet"));
}

TEST_F(ThreadTest, AnExceptionInAStageStillFilesTheResult) {
  TVelmarServiceThread thread(cfg_);
  WithoutPauses(thread);
  std::vector<std::string> stages;
  thread.SetTestHookForTesting([&](const std::string& point, int) {
    stages.push_back(point);
    if (point == "xml") throw std::runtime_error("xml down");
  });
  WriteAll(Path("tra/good.tra"), kValidMessage);
  EXPECT_FALSE(thread.ProcessTRAFile(Path("tra/good.tra"), Path("images")));
  EXPECT_TRUE(platform::FileExists(Path("log/done/good.tra")));
  EXPECT_EQ(std::count(stages.begin(), stages.end(), "glims"), 0);  // skipped after the failure
  const auto log = Log();
  EXPECT_TRUE(AnyLineHas(
      log, "[WARNING ] [THREAD] Traitement incomplet — déplacé vers done quand même : good.tra"));
  // The reason comes first, so that staff can see why the file is incomplete.
  const auto has = [&](const char* text) {
    return std::find_if(log.begin(), log.end(),
                        [&](const std::string& l) { return l.find(text) != std::string::npos; });
  };
  const auto reason =
      has("[ERROR   ] [THREAD] Exception pendant le traitement de good.tra : xml down");
  ASSERT_NE(reason, log.end());
  EXPECT_LT(reason, has("Traitement incomplet"));
}

TEST_F(ThreadTest, StopBetweenTwoFilesOfAnInstrument) {
  std::filesystem::create_directories(Path("tra"));
  WriteAll(Path("tra/a.tra"), kValidMessage);
  WriteAll(Path("tra/b.tra"), kValidMessage);
  AddInstrument(Path("tra"));
  TVelmarServiceThread thread(cfg_);
  WithoutPauses(thread);
  thread.SetTestHookForTesting([&](const std::string& point, int) {
    if (point == "images") thread.RequestStop();
  });
  thread.ProcessInstrument(1);
  EXPECT_TRUE(platform::FileExists(Path("log/done/a.tra")));
  EXPECT_TRUE(platform::FileExists(Path("tra/b.tra")));
  const auto log = Log();
  EXPECT_TRUE(AnyLineHas(log, "[INFO    ] [THREAD] Instrument 1 — 2 fichier(s) à traiter"));
  EXPECT_TRUE(AnyLineHas(log, "[INFO    ] [THREAD] Arrêt demandé — traitement interrompu"));
  EXPECT_TRUE(AnyLineHas(log, "[INFO    ] [THREAD] Instrument 1 — 1/2 traité(s) avec succès"));
}
