#include "processing/UServiceThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include "imaging/UImageProcessor.h"
#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "samplelab/SamplePhoto.h"
#include "support/SystemProbes.h"
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

// A message of that sample (a QC one when the sample begins with "QC"),
// whose one cassette was photographed in a_C.jpg.
std::string MessageOf(const std::string& sample) {
  return "H|\\^&|||Velmar^GS^5.2.1^VLM0001|||||||P|LIS2-A|20261209093000\r\n"
         "P|1|PID1|||DOE^John||19800101|M\r\n"
         "O|1|" +
         sample +
         "||ABO|R|20261209080000\r\n"
         "R|1|XM|OK\r\n"
         "M|1|Anti-A|ABO^1^123456^L1^20271231^a_B.jpg^a_C.jpg|Anti-A^R1^20280101|40^\r\n"
         "L|1|N\r\n";
}

class ThreadTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    cfg_.ExeFolder = Path("");
    cfg_.LogFolder = Path("log");
    cfg_.ColorLog = true;
    cfg_.Prefix = "";
    cfg_.Extension = "tra";
    cfg_.Cycle = 0;
    cfg_.StartingDelay = 0;
    cfg_.InstrCount = 0;
    InitLogger(cfg_, "VelmarImageService");
  }
  void TearDown() override {
    SetBarcodeCheckForTesting(nullptr);
    FinalizeLogger();
    TempFolderTest::TearDown();
  }
  // Real pictures from a real photograph, uploads and QC readings: what a
  // result file leaves outside the service.
  void WithOutputs() {
    TSamplePhotoOptions photo;
    photo.Width = 400;
    photo.Noise = 0;
    std::string error;
    std::filesystem::create_directories(Path("images"));
    ASSERT_TRUE(WriteSamplePhoto(photo, Path("images/a_C.jpg"), error)) << error;
    SetBarcodeCheckForTesting([](const TRasterView&, const std::string&) { return bvrOK; });
    cfg_.ImageDestFolder = Path("out/img");
    cfg_.QCDest = Path("out/qc");
    cfg_.InfoToLis = Path("out/lis");
    cfg_.ImageFormat = "jpg";
    cfg_.ResizeFactor = 100;
  }
  std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    (void)platform::ListFiles(Path(folder), "*", names);
    return names;
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
    WriteAll(platform::JoinPath(thread.DoneFolder(), platform::Format("UP_Z%04d.tra", i + 1)), "x");
  }
  // The file filed sorts first, but is never the one pruned.
  WriteAll(Path("UP_A000.tra"), "new");
  ASSERT_TRUE(thread.MoveToDone(Path("UP_A000.tra")));
  EXPECT_FALSE(platform::FileExists(Path("UP_A000.tra")));
  std::vector<std::string> names;
  ASSERT_TRUE(platform::ListFiles(thread.DoneFolder(), "*", names).Ok());
  EXPECT_EQ(names.size(), 1000u);
  EXPECT_EQ(names[0], "UP_A000.tra");
  EXPECT_EQ(names[1], "UP_Z0002.tra");
  EXPECT_TRUE(
      AnyLineHas(Log("log/debug.log"), "Done : 1 fichier(s) supprimé(s) — limite 1000 atteinte"));
}

TEST_F(ThreadTest, ADifferentFileOfTheSameNameIsKeptBesideTheFirst) {
  TVelmarServiceThread thread(cfg_);
  const std::string done = thread.DoneFolder();
  // Two instruments write UP_0001.tra; the second is kept under a number,
  // and the same bytes filed again replace their own copy.
  for (const char* bytes : {"first", "second", "second", "first", "third"}) {
    WriteAll(Path("UP_0001.tra"), bytes);
    ASSERT_TRUE(thread.MoveToDone(Path("UP_0001.tra"))) << bytes;
  }
  std::vector<std::string> names;
  ASSERT_TRUE(platform::ListFiles(done, "*", names).Ok());
  EXPECT_EQ(names, (std::vector<std::string>{"UP_0001.tra", "UP_0001~1.tra", "UP_0001~2.tra"}));
  EXPECT_EQ(testing_support::ReadAll(done + "/UP_0001.tra"), "first");
  EXPECT_EQ(testing_support::ReadAll(done + "/UP_0001~1.tra"), "second");
  EXPECT_EQ(testing_support::ReadAll(done + "/UP_0001~2.tra"), "third");
  EXPECT_TRUE(AnyLineHas(
      Log(),
      "[INFO    ] [THREAD] Autre fichier de même nom dans done — gardé sous : UP_0001~2.tra"));
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

TEST_F(ThreadTest, AFileThatGrowsAfterTheListingWaitsUntilItSettles) {
  // b.tra is half written when the folder is listed, and finished while
  // a.tra is being processed: its first attempt compares the listing's
  // reading with the size in its turn, so it is not read half written.
  std::filesystem::create_directories(Path("tra"));
  const std::string whole = MessageOf("S2");
  const std::string half = whole.substr(0, whole.size() / 2);
  WriteAll(Path("tra/a.tra"), MessageOf("S1"));
  WriteAll(Path("tra/b.tra"), half);
  AddInstrument(Path("tra"));
  TVelmarServiceThread thread(cfg_);
  WithoutPauses(thread);
  bool written = false;
  thread.SetTestHookForTesting([&](const std::string& point, int) {
    if (point != "images" || written) return;
    written = true;
    (void)platform::AppendToFile(Path("tra/b.tra"), whole.substr(half.size()));
  });
  thread.ProcessInstrument(1);

  const auto debug = Log("log/debug.log");
  EXPECT_TRUE(AnyLineHas(debug, "Fichier en cours d'écriture — taille " +
                                    std::to_string(half.size()) + "?" +
                                    std::to_string(whole.size()) + " : b.tra"));
  EXPECT_FALSE(
      AnyLineHas(debug, "Fichier en cours d'écriture — taille " + std::to_string(whole.size())));
  std::string filed;
  ASSERT_TRUE(platform::ReadFileBytes(Path("log/done/b.tra"), filed).Ok());
  EXPECT_EQ(filed, whole);
  EXPECT_TRUE(AnyLineHas(Log(), "[INFO    ] [THREAD] Instrument 1 — 2/2 traité(s) avec succès"));
}

TEST_F(ThreadTest, AResultFoundAgainSkipsTheStagesItsJournalShowsDone) {
  WithOutputs();
  std::filesystem::create_directories(Path("tra"));
  WriteAll(Path("tra/qc.tra"), MessageOf("QC0001"));
  WriteAll(Path("tra/patient.tra"), MessageOf("S1"));
  AddInstrument(Path("tra"));
  // The done folder cannot be made: both files keep their outputs but stay.
  WriteAll(Path("log/done"), "in the way");
  TVelmarServiceThread thread(cfg_);
  WithoutPauses(thread);
  EXPECT_FALSE(thread.ProcessTRAFile(Path("tra/qc.tra"), Path("images")));
  EXPECT_FALSE(thread.ProcessTRAFile(Path("tra/patient.tra"), Path("images")));
  EXPECT_EQ(Names("out/lis").size(), 1u);
  const size_t readings = ReadCrLfLines(Path("QC/log.txt")).size();
  EXPECT_EQ(readings, 1u);
  EXPECT_TRUE(AnyLineHas(ReadCrLfLines(Path("processing_error.flag")), "done : "));

  std::filesystem::remove(Path("log/done"));
  thread.ProcessInstrument(1);
  EXPECT_EQ(Names("tra"), std::vector<std::string>{});
  EXPECT_EQ(Names("log/done"), (std::vector<std::string>{"patient.tra", "qc.tra"}));
  EXPECT_EQ(Names("out/lis"), std::vector<std::string>{"S1_0.UPL"});
  EXPECT_EQ(ReadCrLfLines(Path("QC/log.txt")).size(), readings);
  EXPECT_EQ(Names("log/journal"), std::vector<std::string>{});
  const auto log = Log();
  for (const char* line :
       {"Étape déjà faite — qc : qc.tra", "Étape déjà faite — images : qc.tra",
        "Étape déjà faite — glims : patient.tra", "Instrument 1 — 2/2 traité(s) avec succès"}) {
    EXPECT_TRUE(AnyLineHas(log, std::string("[INFO    ] [THREAD] ") + line)) << line;
  }
}

TEST_F(ThreadTest, AnUnwritableDestinationKeepsTheResultUntilItIsFine) {
  WithOutputs();
  std::filesystem::create_directories(Path("tra"));
  WriteAll(Path("tra/a.tra"), MessageOf("S1"));
  WriteAll(Path("tra/b.tra"), MessageOf("S2"));
  AddInstrument(Path("tra"));
  WriteAll(Path("out/lis"), "a file where the upload folder should be");
  TVelmarServiceThread thread(cfg_);
  WithoutPauses(thread);
  thread.ProcessInstrument(1);
  // The first file waits with its pictures made; the next waits untouched.
  EXPECT_EQ(Names("tra"), (std::vector<std::string>{"a.tra", "b.tra"}));
  EXPECT_EQ(Names("out/img").size(), 1u);
  EXPECT_TRUE(AnyLineHas(ReadCrLfLines(Path("processing_error.flag")),
                         "Erreur d'environnement : glims : "));
  EXPECT_TRUE(AnyLineHas(Log(), "[INFO    ] [THREAD] Instrument 1 — 0/2 traité(s) avec succès"));

  std::filesystem::remove(Path("out/lis"));  // put right: the folder is made again
  thread.ProcessInstrument(1);
  EXPECT_EQ(Names("tra"), std::vector<std::string>{});
  EXPECT_EQ(Names("log/done"), (std::vector<std::string>{"a.tra", "b.tra"}));
  EXPECT_EQ(Names("out/lis"), (std::vector<std::string>{"S1_0.UPL", "S2_0.UPL"}));
  const auto log = Log();
  EXPECT_TRUE(AnyLineHas(log, "[INFO    ] [THREAD] Étape déjà faite — images : a.tra"));
  EXPECT_TRUE(AnyLineHas(log, "[INFO    ] [THREAD] Instrument 1 — 2/2 traité(s) avec succès"));
}

TEST_F(ThreadTest, LinksAndPipesNamedLikeResultsAreSkippedAndReportedOncePerRun) {
  std::filesystem::create_directories(Path("tra"));
  WriteAll(Path("tra/a.tra"), kValidMessage);
  std::error_code error;
  std::filesystem::create_symlink("/etc/shadow", Path("tra/shadow.tra"), error);
  if (error) GTEST_SKIP() << "no symbolic link here: " << error.message();
  ASSERT_TRUE(testing_support::MakeNamedPipe(Path("tra/pipe.tra")));  // opening it would block
  TVelmarServiceThread thread(cfg_);
  std::vector<std::string> files;
  for (int cycle = 0; cycle < 3; ++cycle) {
    EXPECT_EQ(thread.FindTRAFiles(Path("tra"), files), 1);
    EXPECT_EQ(files, std::vector<std::string>{Path("tra/a.tra")});
  }
  const auto log = Log();
  for (const char* name : {"tra/pipe.tra", "tra/shadow.tra"}) {
    const std::string warning =
        "[WARNING ] [THREAD] Entrée ignorée, pas un fichier ordinaire : " + Path(name);
    EXPECT_EQ(std::count(log.begin(), log.end(), warning), 1) << name;
  }
}
