// End to end: the real executable in a temporary install folder, run in the
// console mode against the sample laboratory, stopped by typing "stop".
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/ExitStatus.h"
#include "platform/Files.h"
#include "platform/SystemNames.h"
#include "platform/Text.h"
#include "support/Process.h"
#include "support/TempFolder.h"

namespace fs = std::filesystem;
using testing_support::ReadAll;
using testing_support::ReadCrLfLines;

namespace {

std::vector<std::string> Names(const std::string& folder, const std::string& pattern = "*") {
  std::vector<std::string> names;
  (void)platform::ListFiles(folder, pattern, names);
  return names;
}

class EndToEndTest : public testing_support::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    ASSERT_EQ(
        testing_support::RunProgram({VELMAR_SAMPLELAB_PATH, Path("lab")}, Path("samplelab.txt")), 0)
        << ReadAll(Path("samplelab.txt"));
    install_ = Path("lab/install");
    fs::copy_file(VELMAR_EXE_PATH, install_ + "/VelmarImageService");
    // The barcode library goes where the service looks first, beside it,
    // when the build put one beside the program (the Windows build does).
    for (const std::string& name : platform::BarcodeLibraryNames()) {
      const fs::path beside = fs::path(VELMAR_EXE_PATH).parent_path() / name;
      if (platform::IsPlainFileName(name) && fs::exists(beside)) {
        fs::copy_file(beside, install_ + "/" + name);
      }
    }
  }

  // Starts the service in the console mode, reading what the test sends.
  std::unique_ptr<testing_support::TRunningProgram> StartDebugRun() {
    return testing_support::StartProgram({install_ + "/VelmarImageService", "-debug"},
                                         Path("console.txt"), install_);
  }

  static bool WaitUntil(const std::function<bool()>& done, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return done();
  }

  std::vector<std::string> ServiceLog() {
    return testing_support::ReadAnsiLines(install_ + "/log/service.log");
  }

  std::string install_;
};

using SamplelabTest = testing_support::TempFolderTest;

}  // namespace

TEST_F(EndToEndTest, SampleLaboratoryIsProcessedAndFiledAway) {
  const auto service = StartDebugRun();
  ASSERT_NE(service, nullptr);
  const std::string done = install_ + "/log/done";
  const bool allDone = WaitUntil(
      [&] {
        return Names(done, "*.tra").size() == 8 &&
               Names(Path("lab/instruments/velmar1/tra")).empty() &&
               Names(Path("lab/instruments/velmar2/tra")).empty();
      },
      120);
  service->SendLine("stop");
  EXPECT_EQ(service->Wait(), 0);
  ASSERT_TRUE(allDone) << ReadAll(install_ + "/log/service.log");

  const std::string console = ReadAll(Path("console.txt"));
  EXPECT_NE(console.find("Service demarre"), std::string::npos) << console;

  const auto log = ServiceLog();
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[SERVICE] Service demarré avec succes"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[THREAD] Instrument 1 — 6 fichier(s) à traiter"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[THREAD] Instrument 2 — 2 fichier(s) à traiter"));
  EXPECT_TRUE(
      testing_support::AnyLineHas(log, "[ERROR   ] [THREAD] Parsing ASTM échoué : UP_garbage.tra"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[SERVICE] Service arrete proprement"));
  EXPECT_TRUE(testing_support::AnyLineHas(log, "[LOGGER] Logger finalisé — arrêt service"));

  // Pictures: reduced copies replace the full-size ones; QC pictures go to
  // the instrument's QC folder; wrong or missing barcodes are set aside.
  const std::string out = Path("lab/out");
  EXPECT_EQ(Names(out + "/resized"),
            (std::vector<std::string>{
                "260101_ABO_Rh_2_A26010155_x_VC4101_123456.jpg",
                "260102_Pheno_RH-K_VC4102_123456.jpg", "260102_Pheno_RH-K_VC4103_123456.jpg",
                "260103_Screening_Co_3_VC4104_123.jpg", "260104_ABO_Rh_2_VC4105_123456.jpg"}));
  EXPECT_TRUE(Names(out + "/images").empty());
  EXPECT_EQ(Names(out + "/qc/VLM0001"),
            (std::vector<std::string>{"QCX04568YYY12Z_QC_NIV_1_VC4190_123456.jpg"}));
  EXPECT_EQ(Names(install_ + "/log/wrong_images"),
            (std::vector<std::string>{"260201_ABO_Rh_2_VC4201_123456.jpg",
                                      "260202_ABO_Rh_2_VC4202_123456.jpg"}));
  EXPECT_TRUE(testing_support::AnyLineHas(
      log,
      "[ERROR   ] [VERIF] DISCORDANCE BARCODE — brut: [0012VC4299] normalisé: "
      "[VC4299] ASTM: [VC4201] (zone 0)"));
  EXPECT_TRUE(
      testing_support::AnyLineHas(log,
                                  "[ERROR   ] [VERIF] BARCODE NON LU — aucun barcode détecté sur 2 "
                                  "zone(s) — Cassette ASTM: [VC4202]"));
  EXPECT_TRUE(testing_support::AnyLineHas(
      log,
      "Image générée — 260102_Pheno_RH-K_VC4102_123456.jpg [Cassette: VC4102 "
      "Puits: 123456 Alerte: JAUNE]"));
  // A red border does not set a picture aside: its barcode is the cassette's.
  EXPECT_TRUE(testing_support::AnyLineHas(
      log,
      "Image générée — 260104_ABO_Rh_2_VC4105_123456.jpg [Cassette: VC4105 "
      "Puits: 123456 Alerte: ROUGE]"));
  const auto flag = testing_support::ReadAnsiLines(install_ + "/processing_error.flag");
  EXPECT_TRUE(
      testing_support::AnyLineHas(flag, "Discordance barcode — lu: [VC4299] ASTM: [VC4201]"));
  EXPECT_TRUE(testing_support::AnyLineHas(flag, "Barcode non lu — Cassette: [VC4202]"));

  // QC readings: one line per well of the QC cassette.
  EXPECT_EQ(ReadCrLfLines(install_ + "/QC/log.txt").size(), 6u);

  // Exports: the screening panel as XML, every patient file as an upload file
  // naming its pictures.
  EXPECT_EQ(Names(out + "/xml"), (std::vector<std::string>{"UP_260103.tra"}));
  EXPECT_EQ(testing_support::RunProgram({"xmllint", "--noout", out + "/xml/UP_260103.tra"},
                                        Path("xmllint.txt")),
            0)
      << ReadAll(Path("xmllint.txt"));
  EXPECT_EQ(Names(out + "/glims").size(), 6u);
  const std::string upl = ReadAll(out + "/glims/LIS260102_0.UPL");
  EXPECT_NE(upl.find("|IMXM|260102_Pheno_RH-K_VC4103_123456.jpg|"), std::string::npos) << upl;
  EXPECT_NE(upl.find("|IMPH|260102_Pheno_RH-K_VC4102_123456.jpg|"), std::string::npos) << upl;

  const auto trace = ReadCrLfLines(install_ + "/debug_start.txt");
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back().substr(9), "ServiceStart OK");
  EXPECT_FALSE(platform::FileExists(install_ + "/config_error.flag"));
  EXPECT_FALSE(platform::FileExists(install_ + "/instrument_error.flag"));
}

TEST_F(EndToEndTest, InvalidConfigurationStopsTheConsoleRunAtOnce) {
  testing_support::WriteAll(install_ + "/config.ini", "[Main]\n");
  const auto service = StartDebugRun();
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->Wait(), platform::ExitStatus(platform::TExitOutcome::invalid_configuration));
  EXPECT_NE(ReadAll(Path("console.txt")).find("ERREUR : verifier config.ini"), std::string::npos);
  EXPECT_TRUE(platform::FileExists(install_ + "/config_error.flag"));
}

TEST_F(SamplelabTest, AnswersHelpAndRefusesAnOption) {
  const auto run = [&](const char* option, const char* output) {
    return testing_support::RunProgram({VELMAR_SAMPLELAB_PATH, option}, Path(output), dir_);
  };
  EXPECT_EQ(run("--help", "help.txt"), 0);
  EXPECT_NE(ReadAll(Path("help.txt")).find("usage: samplelab FOLDER"), std::string::npos);
  EXPECT_EQ(run("--hlep", "hlep.txt"), 2);
  EXPECT_NE(ReadAll(Path("hlep.txt")).find("unknown option --hlep"), std::string::npos);
  EXPECT_FALSE(fs::exists(Path("--help")));
  EXPECT_FALSE(fs::exists(Path("--hlep")));
}
