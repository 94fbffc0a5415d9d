#pragma once

// The service object: starts and stops everything in a fixed order, answers
// the service manager's requests, and keeps the bootstrap trace
// debug_start.txt beside the executable (written even before the logger).

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "config/UConfig.h"
#include "platform/ServiceHost.h"

class TVelmarServiceThread;

namespace velmar {

constexpr const char* SERVICE_NAME = "VelmarImageService";
constexpr const char* SERVICE_DISPLAY = "Velmar Image Service (Brenvik)";
constexpr const char* SERVICE_DESCRIPTION =
    "Generation automatique d'images composites pour analyseurs Velmar (cartes-gel Brenvik) - "
    "Brenvik";
constexpr const char* SERVICE_VERSION = VELMAR_VERSION;  // set by the build

}  // namespace velmar

class TVelmarService {
 public:
  // `exeFolder` (with its trailing "/") stands for the executable's folder:
  // config.ini, debug_start.txt and the flags live there.
  explicit TVelmarService(std::string exeFolder);
  ~TVelmarService();
  TVelmarService(const TVelmarService&) = delete;
  TVelmarService& operator=(const TVelmarService&) = delete;

  // Handlers, bound as the service framework would: Sender is the object.
  void ServiceCreate(TVelmarService* Sender);
  void ServiceDestroy(TVelmarService* Sender);
  void ServiceStart(TVelmarService* Sender, bool& Started);
  void ServiceStop(TVelmarService* Sender, bool& Stopped);
  void ServicePause(TVelmarService* Sender, bool& Paused);
  void ServiceContinue(TVelmarService* Sender, bool& Continued);
  void ServiceShutdown(TVelmarService* Sender);
  // The run loop under the service manager: every 100 ms, hands the pending
  // control request to its handler, until a stop or a shutdown.
  void ServiceExecute(TVelmarService* Sender, const platform::TProcessRequests& ProcessRequests);

  bool LoadAndValidateConfig();
  void LogStartupBanner();
  void DebugLog(const std::string& Msg);

  const std::string& DisplayName() const { return FDisplayName; }
  bool ConfigValid() const { return FConfigValid; }
  // The error entries of the last configuration load, kept for the console.
  const std::vector<std::string>& ConfigErrors() const { return FConfigErrors; }
  bool ThreadRunning() const { return FThread != nullptr; }

 private:
  std::string FExeFolder;
  std::string FDisplayName;
  TAppConfig FConfig;
  bool FConfigValid = false;
  std::vector<std::string> FConfigErrors;
  std::unique_ptr<TVelmarServiceThread> FThread;
  bool FDestroyed = false;
};

// --- Program entry ----------------------------------------------------------------

enum class TRunMode { help, version, status, install, uninstall, debug, service };

// The first switch that decides: help (--help, -h, /?), then version
// (--version), then status (-status), then install, then uninstall, then debug (or a debugger
// attached), else the service run. A switch is "-" or "/" followed by the
// word, in any case, at any position.
TRunMode SelectRunMode(int argc, const char* const* argv, bool debuggerAttached);

// The switches, the files read and written, and the exit statuses.
void PrintHelp(std::ostream& out);
// The name and the version.
void PrintVersion(std::ostream& out);

// True for the console line that ends the debug run: "stop" in any case,
// blanks and control characters around it ignored.
bool IsStopCommand(const std::string& line);

// Both report on `out` and return the process exit status: 0 when the
// service is installed (or removed) as asked, also when it already was, 1
// after a failure.
int InstallService(std::ostream& out);
int UninstallService(std::ostream& out);
// The console run: starts the service, reads lines until "stop" (or the end
// of the input), stops it. Returns the process exit status: 0 after a stop,
// 78 for an invalid configuration (its errors printed first), 1 for another
// failed start.
int RunDebug(const std::string& exeFolder, std::istream& in, std::ostream& out);
// The run under the service manager; returns the exit status (78 for an
// invalid configuration, 1 for another failed start, 0 after a stop). When
// the manager cannot be reached (started by hand), it reports why on `err`
// and in the system log, and returns 1.
int RunService(const std::string& exeFolder, std::ostream& err);
