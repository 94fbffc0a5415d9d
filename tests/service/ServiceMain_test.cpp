#include "service/ServiceMain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "barcode/UZBar.h"
#include "logging/ULogger.h"
#include "platform/ExitStatus.h"
#include "platform/Files.h"
#include "platform/ProcessInfo.h"
#include "platform/ServiceHost.h"
#include "platform/SystemNames.h"
#include "platform/Text.h"
#include "support/Process.h"
#include "support/TempFolder.h"

using testing_support::WriteAll;

namespace {

const int kInvalidConfiguration =
    platform::ExitStatus(platform::TExitOutcome::invalid_configuration);

class ServiceTest : public testing_support::TempFolderTest {
 protected:
  std::string Exe() const { return Path(""); }
  void WriteValidConfig() {
    for (const char* f : {"tra1", "img1", "dest", "resized", "qc", "qcrep"}) {
      std::filesystem::create_directories(Path(f));
    }
    WriteAll(Path("config.ini"), "[Main]\nStarting_delay=0\nCycle=3600\nImageDest=" + Path("dest") +
                                     "\nResizedImageDest=" + Path("resized") +
                                     "\nQCDest=" + Path("qc") + "\nQCReportDest=" + Path("qcrep") +
                                     "\n[Multi]\ntraVelmar1=" + Path("tra1") +
                                     "\nimagesVelmar1=" + Path("img1") + "\n");
  }
};

}  // namespace

TEST(CommandLine, SwitchSelection) {
  struct Case {
    std::vector<const char*> args;
    bool debugger;
    TRunMode mode;
  };
  const Case cases[] = {
      {{"exe", "-install"}, false, TRunMode::install},
      {{"exe", "/INSTALL"}, false, TRunMode::install},
      {{"exe", "x", "-Install"}, false, TRunMode::install},
      {{"exe", "/Uninstall"}, false, TRunMode::uninstall},
      {{"exe", "-uninstall", "-install"}, false, TRunMode::install},
      {{"exe", "-debug", "/uninstall"}, false, TRunMode::uninstall},
      {{"exe", "-debug"}, false, TRunMode::debug},
      {{"exe"}, true, TRunMode::debug},
      {{"exe", "install"}, false, TRunMode::service},  // the bare word is no switch
      {{"exe", "--install"}, false, TRunMode::service},
      {{"exe", "-"}, false, TRunMode::service},
      {{"exe"}, false, TRunMode::service},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SelectRunMode(static_cast<int>(c.args.size()), c.args.data(), c.debugger), c.mode)
        << c.args.back();
  }
}

TEST_F(ServiceTest, HelpAndVersionComeFirstAndExitZero) {
  const std::vector<const char*> help = {"exe", "-install", "/?"};
  EXPECT_EQ(SelectRunMode(3, help.data(), true), TRunMode::help);
  const std::vector<const char*> version = {"exe", "-debug", "--VERSION"};
  EXPECT_EQ(SelectRunMode(3, version.data(), false), TRunMode::version);

  // The real executable: standard output, status 0, and nothing started.
  for (const char* sw : {"--help", "-h", "--version"}) {
    const std::string outFile = Path("out.txt");
    EXPECT_EQ(testing_support::RunProgram({VELMAR_EXE_PATH, sw}, outFile), 0) << sw;
    // Line ends as the system writes them on a console: CR LF on Windows.
    std::string text = testing_support::ReadAll(outFile);
    std::erase(text, '\r');
    if (std::string(sw) == "--version") {
      EXPECT_EQ(text.substr(0, text.find('\n') + 1), "VelmarImageService " VELMAR_VERSION "\n")
          << text;
    } else {
      EXPECT_NE(text.find("  -status : affiche l'état du service"), std::string::npos) << text;
      EXPECT_NE(text.find("config.ini"), std::string::npos);
      EXPECT_NE(text.find(platform::Format("  %d : configuration invalide", kInvalidConfiguration)),
                std::string::npos)
          << text;
    }
  }
}

TEST(CommandLine, OnlyTheWordStopEndsTheDebugRun) {
  EXPECT_TRUE(IsStopCommand("stop"));
  EXPECT_TRUE(IsStopCommand("  STOP  "));
  EXPECT_TRUE(IsStopCommand("Stop\r"));
  EXPECT_FALSE(IsStopCommand("stopp"));
  EXPECT_FALSE(IsStopCommand(""));
  EXPECT_FALSE(IsStopCommand("s top"));
}

TEST_F(ServiceTest, InvalidConfigurationDoesNotStart) {
  WriteAll(Path("config.ini"), "[Main]\n");
  {
    TVelmarService service(Exe());
    EXPECT_EQ(service.DisplayName(), "Velmar Image Service (Brenvik)");
    bool started = true;
    service.ServiceStart(&service, started);
    EXPECT_FALSE(started);
    EXPECT_FALSE(service.ThreadRunning());
  }
  EXPECT_FALSE(ZBarAvailable());  // released with the service
  const auto log = testing_support::ReadAnsiLines(Path("log/service.log"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[SERVICE] ExeFolder = [" + Exe() + "]"));
  EXPECT_TRUE(
      testing_support::AnyLineHas(log, "[ERROR   ] [CONFIG] Configuration invalide — 6 erreur(s)"));
  EXPECT_TRUE(testing_support::AnyLineHas(
      log, "[CRITICAL] [SERVICE] Configuration invalide — service ne peut pas demarrer"));
  EXPECT_FALSE(testing_support::AnyLineHas(log, "=========="));
  EXPECT_TRUE(testing_support::AnyLineHas(testing_support::ReadAnsiLines(Path("config_error.flag")),
                                          "] Configuration invalide"));
  const auto trace = testing_support::ReadAnsiLines(Path("debug_start.txt"));
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back().substr(9), "Config invalide - abandon");
  EXPECT_EQ(trace.front().substr(8), " ServiceStart debut");
}

TEST_F(ServiceTest, ValidConfigurationAfterAFailedOneClearsTheFlag) {
  WriteAll(Path("config_error.flag"), "[2025-01-01 00:00:00] Configuration invalide\r\n");
  WriteValidConfig();
  TVelmarService service(Exe());
  bool started = false;
  service.ServiceStart(&service, started);
  ASSERT_TRUE(started);
  EXPECT_TRUE(service.ThreadRunning());
  EXPECT_FALSE(platform::FileExists(Path("config_error.flag")));
  bool stopped = false;
  service.ServiceStop(&service, stopped);
  EXPECT_TRUE(stopped);
  EXPECT_FALSE(service.ThreadRunning());

  const auto log = testing_support::ReadAnsiLines(Path("log/service.log"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[SERVICE] " + std::string(60, '=')));
  EXPECT_TRUE(testing_support::AnyLineHas(
      log, "[SERVICE] Velmar Image Service (Brenvik) v" VELMAR_VERSION));
  EXPECT_TRUE(
      testing_support::AnyLineHas(log, "[SERVICE] Plateforme : " + platform::PlatformName()));
  EXPECT_TRUE(testing_support::AnyLineHas(
      log, "[SERVICE] Configuration chargee — 1 instrument(s) | Cycle: 3600s"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[SERVICE] Service demarré avec succes"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[SERVICE] Arrêt du service demandé..."));
  EXPECT_TRUE(
      testing_support::AnyLineHas(log, "[THREAD] Arrêt demandé — fin du cycle en cours..."));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[SERVICE] Service arrete proprement"));
  EXPECT_FALSE(testing_support::AnyLineHas(log, "Thread non terminé"));
  EXPECT_EQ(testing_support::ReadAnsiLines(Path("debug_start.txt")).back().substr(9),
            "ServiceStart OK");
}

TEST_F(ServiceTest, StopWithoutThreadPauseContinueAndShutdown) {
  WriteAll(Path("config.ini"), "[Main]\n");
  TVelmarService service(Exe());
  bool started = false;
  service.ServiceStart(&service, started);  // starts the logger, fails the start
  bool flag = false;
  service.ServicePause(&service, flag);
  EXPECT_TRUE(flag);
  service.ServiceContinue(&service, flag);
  service.ServiceShutdown(&service);
  const auto log = testing_support::ReadAnsiLines(Path("log/service.log"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[SERVICE] Service mis en pause"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[SERVICE] Service repris"));
  EXPECT_TRUE(
      testing_support::AnyLineHas(log, "[SERVICE] Arrêt système détecté — arrêt propre..."));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[SERVICE] Service arrete proprement"));
}

TEST_F(ServiceTest, DebugRunReadsUntilStop) {
  WriteValidConfig();
  // Without Ghostscript anywhere, the start says so once, and still starts.
  const std::string path = platform::GetEnv("PATH");
  std::filesystem::create_directories(Path("empty"));
  testing_support::SetEnvironmentVariable("PATH", Path("empty"));
  std::istringstream in("hello\nstopp\n\n  STOP  \nnever read\n");
  std::ostringstream out;
  EXPECT_EQ(RunDebug(Exe(), in, out), 0);
  std::string rest;
  std::getline(in, rest);
  EXPECT_EQ(rest, "never read");
  EXPECT_NE(out.str().find("=== Velmar Image Service - MODE DEBUG ===\n"), std::string::npos);
  EXPECT_NE(out.str().find("Tapez \"stop\" puis ENTREE pour arreter..."), std::string::npos);
  testing_support::SetEnvironmentVariable("PATH", path);
  const auto log = testing_support::ReadAnsiLines(Path("log/service.log"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "Service arrete proprement"));
  EXPECT_TRUE(testing_support::AnyLineHas(
      log, "[WARNING ] [SERVICE] Ghostscript introuvable (" +
               platform::JoinPath(Exe(), platform::GhostscriptProgramName()) +
               ") — les rapports QC PDF attendront son installation"));
}

TEST_F(ServiceTest, DebugRunWithInvalidConfiguration) {
  std::istringstream in("");
  std::ostringstream out;
  EXPECT_EQ(RunDebug(Exe(), in, out), kInvalidConfiguration);
  // The reasons come first, so that the console alone says what to fix.
  const std::string text = out.str();
  const size_t reason =
      text.find("[ERREUR] Fichier de configuration introuvable : " + Exe() + "config.ini\n");
  ASSERT_NE(reason, std::string::npos) << text;
  EXPECT_GT(text.find("ERREUR : verifier config.ini\n"), reason);
}

TEST_F(ServiceTest, RunWithoutServiceManagerReportsAndFails) {
  if (std::getenv("NOTIFY_SOCKET") || std::getenv("INVOCATION_ID")) {
    GTEST_SKIP() << "running under the service manager";
  }
  std::ostringstream err;
  EXPECT_NE(RunService(Exe(), err), 0);
  EXPECT_NE(err.str().find(platform::ServiceStartCommandText("VelmarImageService")),
            std::string::npos);
  EXPECT_FALSE(platform::FileExists(Path("debug_start.txt")));  // nothing was started
}
