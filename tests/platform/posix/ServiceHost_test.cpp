// The service as a systemd unit: the unit file, install and uninstall into a
// temporary root, and control signals dispatched to the service's handlers.
#include "platform/ServiceHost.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/posix/SystemdUnit.h"
#include "support/TempFolder.h"

namespace {

using testing_support::ReadAll;
using testing_support::WriteAll;

constexpr const char* kDescription =
    "Generation automatique d'images composites pour analyseurs Velmar (cartes-gel Brenvik) - "
    "Brenvik";

class ServiceHostTest : public testing_support::TempFolderTest {};

// Sets (or, for nullptr, removes) an environment variable for one test.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~TScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace

TEST_F(ServiceHostTest, UnitFileInstallsOnceVerifiesAndUninstalls) {
  const platform::TServiceDescription unit{"VelmarImageService", "Velmar Image Service (Brenvik)",
                                           kDescription, VELMAR_EXE_PATH};
  platform::TUnitTarget target;
  target.RootFolder = dir_;
  EXPECT_EQ(platform::InstallUnit(unit, target).Outcome, platform::TInstallOutcome::no_rights);

  std::filesystem::create_directories(Path("etc/systemd/system"));
  ASSERT_EQ(platform::InstallUnit(unit, target).Outcome, platform::TInstallOutcome::installed);
  const std::string path = platform::UnitFilePath(unit, target);
  const std::string text = ReadAll(path);
  EXPECT_NE(text.find("ExecStart=\"" + std::string(VELMAR_EXE_PATH) + "\"\n"), std::string::npos);
  EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(text.find("TimeoutStopSec=600s\n"), std::string::npos);
  EXPECT_NE(text.find("SyslogIdentifier=VelmarImageService\n"), std::string::npos);
  EXPECT_NE(text.find("WantedBy=multi-user.target\n"), std::string::npos);
  EXPECT_NE(text.find("Description=" + std::string(kDescription) + "\n"), std::string::npos);

  const std::string verify =
      "systemd-analyze verify '" + path + "' > '" + Path("verify.txt") + "' 2>&1";
  EXPECT_EQ(std::system(verify.c_str()), 0) << ReadAll(Path("verify.txt"));

  WriteAll(path + ".keep", text);
  const platform::TServiceInstallResult again = platform::InstallUnit(unit, target);
  EXPECT_EQ(again.Outcome, platform::TInstallOutcome::already_installed);
  EXPECT_NE(again.Os.Text.find(path), std::string::npos);
  EXPECT_EQ(ReadAll(path), text);  // untouched

  EXPECT_EQ(platform::UninstallUnit(unit, target).Outcome,
            platform::TUninstallOutcome::uninstalled);
  EXPECT_FALSE(platform::FileExists(path));
  EXPECT_EQ(platform::UninstallUnit(unit, target).Outcome,
            platform::TUninstallOutcome::not_installed);
}

TEST(UnitFile, EscapesSpecifiersAndQuotes) {
  const std::string text = platform::BuildUnitFile({"Svc", "Svc", "50% sure", "/opt/my dir/$x\"y"});
  EXPECT_NE(text.find("Description=50%% sure\n"), std::string::npos);
  EXPECT_NE(text.find("ExecStart=\"/opt/my dir/$$x\\\"y\"\n"), std::string::npos);
  EXPECT_NE(text.find("WorkingDirectory=/opt/my dir\n"), std::string::npos);
}

TEST_F(ServiceHostTest, HardenedUnitOpensOnlyTheConfiguredFoldersAndScoresSafe) {
  const platform::TServiceDescription unit{"VelmarImageService", "Velmar Image Service (Brenvik)",
                                           kDescription, "/opt/velmar/VelmarImageService"};
  const std::string text = platform::BuildUnitFile(unit, {"/srv/lab/images", "/srv/my lab", ""});
  EXPECT_NE(text.find("User=velmar\n"), std::string::npos);
  EXPECT_NE(text.find("After=dbus.service\n"), std::string::npos);
  EXPECT_NE(text.find("ReadWritePaths=\"/opt/velmar\"\n"
                      "ReadWritePaths=\"-/srv/lab/images\"\n"
                      "ReadWritePaths=\"-/srv/my lab\"\nProtectHome=yes\n"),
            std::string::npos);
  // A folder under /home keeps the home folders visible, read-only.
  EXPECT_NE(platform::BuildUnitFile(unit, {"/home/lab/upl"}).find("ProtectHome=read-only\n"),
            std::string::npos);

  const std::string path = Path("VelmarImageService.service");
  WriteAll(path, text);
  const std::string security = "systemd-analyze security --offline=true --threshold=20 '" + path +
                               "' > '" + Path("security.txt") + "' 2>&1";
  EXPECT_EQ(std::system(security.c_str()), 0) << ReadAll(Path("security.txt"));
}

TEST(ServiceManagerRun, StartFailureSkipsTheLoopAndSignalsReachTheirHandlers) {
  const TScopedEnv notify("NOTIFY_SOCKET", nullptr);  // readiness goes nowhere
  const TScopedEnv invocation("INVOCATION_ID", "0123456789abcdef");
  std::vector<std::string> calls;
  platform::TServiceHandlers handlers;
  bool startResult = false;
  handlers.Start = [&] {
    calls.push_back("start");
    return startResult;
  };
  handlers.Stop = [&] { calls.push_back("stop"); };
  handlers.Pause = [&] { calls.push_back("pause"); };
  handlers.Continue = [&] { calls.push_back("continue"); };
  handlers.Shutdown = [&] { calls.push_back("shutdown"); };
  handlers.Execute = [&](const platform::TProcessRequests& processRequests) {
    calls.push_back("execute");
    EXPECT_FALSE(processRequests());  // nothing pending
    ::raise(SIGUSR1);
    EXPECT_FALSE(processRequests());
    ::raise(SIGUSR2);
    EXPECT_FALSE(processRequests());
    ::raise(SIGTERM);
    EXPECT_TRUE(processRequests());
  };

  EXPECT_EQ(platform::RunUnderServiceManager("Svc", handlers).Outcome,
            platform::TServiceRunOutcome::start_failed);
  EXPECT_EQ(calls, std::vector<std::string>{"start"});

  calls.clear();
  startResult = true;
  EXPECT_EQ(platform::RunUnderServiceManager("Svc", handlers).Outcome,
            platform::TServiceRunOutcome::stopped);
  EXPECT_EQ(calls, (std::vector<std::string>{"start", "execute", "pause", "continue", "stop"}));

  for (int signo : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) ::signal(signo, SIG_DFL);
}
