// End to end: the real executable in a temporary install folder, run in the
// console mode against the sample laboratory, stopped by typing "stop".
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

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

bool Has(const std::vector<std::string>& lines, const std::string& part) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(part) != std::string::npos; });
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
    std::vector<std::string> out;
    for (const auto& l : ReadCrLfLines(install_ + "/log/service.log")) {
      out.push_back(platform::AnsiToUtf8(l));
    }
    return out;
  }

  std::string install_;
};

}  // namespace

TEST_F(EndToEndTest, SampleLaboratoryIsProcessedAndFiledAway) {
  FILE* input = StartDebugRun();
  ASSERT_NE(input, nullptr);
  const std::string done = install_ + "/log/done";
  const bool allDone = WaitUntil(
      [&] {
        return Names(done, "*.tra").size() == 7 &&
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
  EXPECT_TRUE(Has(log, "[SERVICE] Service demarré avec succes"));
  EXPECT_TRUE(Has(log, "[THREAD] Instrument 1 — 5 fichier(s) à traiter"));
  EXPECT_TRUE(Has(log, "[THREAD] Instrument 2 — 2 fichier(s) à traiter"));
  EXPECT_TRUE(Has(log, "[ERROR   ] [THREAD] Parsing ASTM échoué : UP_garbage.tra"));
  EXPECT_TRUE(Has(log, "[SERVICE] Service arrete proprement"));
  EXPECT_TRUE(Has(log, "[LOGGER] Logger finalisé — arrêt service"));

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
  EXPECT_EQ(::pclose(input), 0);
  EXPECT_NE(ReadAll(Path("console.txt")).find("ERREUR : verifier config.ini"), std::string::npos);
  EXPECT_TRUE(platform::FileExists(install_ + "/config_error.flag"));
}
