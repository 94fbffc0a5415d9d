// End to end: the real executable in a temporary install folder, run in the
// console mode against the sample laboratory, stopped by typing "stop".
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <sys/wait.h>

#include "platform/Files.h"
#include "platform/Text.h"
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
    const std::string make = std::string("'") + VELMAR_SAMPLELAB_PATH + "' '" + Path("lab") +
                             "' > '" + Path("samplelab.txt") + "' 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0) << ReadAll(Path("samplelab.txt"));
    install_ = Path("lab/install");
    fs::copy_file(VELMAR_EXE_PATH, install_ + "/VelmarImageService");
  }

  // Starts the service in the console mode; the returned pipe is its input.
  FILE* StartDebugRun() {
    const std::string cmd = "cd '" + install_ + "' && exec ./VelmarImageService -debug > '" +
                            Path("console.txt") + "' 2>&1";
    return ::popen(cmd.c_str(), "w");
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
  FILE* input = StartDebugRun();
  ASSERT_NE(input, nullptr);
  const std::string done = install_ + "/log/done";
  const bool allDone = WaitUntil(
      [&] {
        return Names(done, "*.tra").size() == 8 &&
               Names(Path("lab/instruments/velmar1/tra")).empty() &&
               Names(Path("lab/instruments/velmar2/tra")).empty();
      },
      120);
  std::fputs("stop\n", input);
  std::fflush(input);
  EXPECT_EQ(::pclose(input), 0);
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
  const std::string xmllint =
      "xmllint --noout '" + out + "/xml/UP_260103.tra' > '" + Path("xmllint.txt") + "' 2>&1";
  EXPECT_EQ(std::system(xmllint.c_str()), 0) << ReadAll(Path("xmllint.txt"));
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
  FILE* input = StartDebugRun();
  ASSERT_NE(input, nullptr);
  const int status = ::pclose(input);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 78) << status;
  EXPECT_NE(ReadAll(Path("console.txt")).find("ERREUR : verifier config.ini"), std::string::npos);
  EXPECT_TRUE(platform::FileExists(install_ + "/config_error.flag"));
}

TEST_F(SamplelabTest, AnswersHelpAndRefusesAnOption) {
  const std::string tool = "cd '" + dir_ + "' && '" + VELMAR_SAMPLELAB_PATH + "' ";
  EXPECT_EQ(std::system((tool + "--help > help.txt 2>&1").c_str()), 0);
  EXPECT_NE(ReadAll(Path("help.txt")).find("usage: samplelab FOLDER"), std::string::npos);
  const int status = std::system((tool + "--hlep > hlep.txt 2>&1").c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
  EXPECT_NE(ReadAll(Path("hlep.txt")).find("unknown option --hlep"), std::string::npos);
  EXPECT_FALSE(fs::exists(Path("--help")));
  EXPECT_FALSE(fs::exists(Path("--hlep")));
}
