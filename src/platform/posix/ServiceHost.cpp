#include "platform/ServiceHost.h"

#include <signal.h>
#include <syslog.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
// No CODE_FILE: the build machine's source path tells an administrator nothing.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <cstdlib>

#include "platform/posix/SystemdUnit.h"

namespace platform {

namespace {

// Pending control requests, one bit each; written by the signal handlers.
volatile sig_atomic_t GStopRequested = 0;
volatile sig_atomic_t GPauseRequested = 0;
volatile sig_atomic_t GResumeRequested = 0;

void OnSignal(int signo) {
  if (signo == SIGTERM || signo == SIGINT) GStopRequested = 1;
  if (signo == SIGUSR1) GPauseRequested = 1;
  if (signo == SIGUSR2) GResumeRequested = 1;
}

// Control requests: SIGTERM and SIGINT ask for a stop, SIGUSR1 for a pause,
// SIGUSR2 for a continue. The handlers only record the request.
enum class TControlRequest { none, stop, pause, resume };

void InstallControlSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signo : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) ::sigaction(signo, &action, nullptr);
}

// The oldest pending request (stop before anything else), cleared once taken.
TControlRequest TakeControlRequest() {
  if (GStopRequested) {
    GStopRequested = 0;
    return TControlRequest::stop;
  }
  if (GPauseRequested) {
    GPauseRequested = 0;
    return TControlRequest::pause;
  }
  if (GResumeRequested) {
    GResumeRequested = 0;
    return TControlRequest::resume;
  }
  return TControlRequest::none;
}

// True when the process was started by systemd (NOTIFY_SOCKET or
// INVOCATION_ID in its environment).
bool StartedBySystemd() {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  const char* invocation = std::getenv("INVOCATION_ID");
  return (notify != nullptr && *notify != '\0') || (invocation != nullptr && *invocation != '\0');
}

// True while the system is shutting down (systemd's SystemState "stopping").
bool SystemShuttingDown() {
  if (!SystemdRunning()) return false;
  sd_bus* bus = nullptr;
  if (::sd_bus_open_system(&bus) < 0) return false;
  char* state = nullptr;
  sd_bus_error error{};  // the empty error, as SD_BUS_ERROR_NULL
  const int r = ::sd_bus_get_property_string(
      bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
      "org.freedesktop.systemd1.Manager", "SystemState", &error, &state);
  const bool stopping = r >= 0 && state != nullptr && std::string(state) == "stopping";
  std::free(state);
  ::sd_bus_error_free(&error);
  ::sd_bus_unref(bus);
  return stopping;
}

// One control request handed to its handler; true once the service must end.
bool ProcessControlRequest(const TServiceHandlers& handlers) {
  switch (TakeControlRequest()) {
    case TControlRequest::stop:
      ::sd_notify(0, "STOPPING=1");
      if (SystemShuttingDown()) {
        handlers.Shutdown();
      } else {
        handlers.Stop();
      }
      return true;
    case TControlRequest::pause:
      handlers.Pause();
      return false;
    case TControlRequest::resume:
      handlers.Continue();
      return false;
    case TControlRequest::none:
      return false;
  }
  return false;
}

}  // namespace

TServiceInstallResult RegisterService(const TServiceDescription& service) {
  return InstallUnit(service, TUnitTarget{});
}

// systemctl stop waits for the stop itself.
TServiceUninstallResult UnregisterService(
    const TServiceDescription& service,
    const std::function<void(const std::string&)>& /*progress*/) {
  return UninstallUnit(service, TUnitTarget{});
}

std::string ServiceManagerName() {
  return "systemd";
}

std::string ServiceStartCommandText(const std::string& name) {
  return "systemctl start " + name;
}

TServiceRunResult RunUnderServiceManager(const std::string& /*name*/,
                                         const TServiceHandlers& handlers) {
  if (!StartedBySystemd()) {
    return {TServiceRunOutcome::not_connected,
            "le processus n'a pas ete lance par systemd (NOTIFY_SOCKET et INVOCATION_ID absents)"};
  }
  InstallControlSignalHandlers();
  if (!handlers.Start()) return {TServiceRunOutcome::start_failed, {}};
  ::sd_notify(0, "READY=1");
  handlers.Execute([&handlers] { return ProcessControlRequest(handlers); });
  return {TServiceRunOutcome::stopped, {}};
}

void NotifyWatchdog() {
  ::sd_notify(0, "WATCHDOG=1");
}

void NotifyStatus(const std::string& text) {
  // One line: a line feed would start another assignment of the message.
  std::string line = text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  ::sd_notify(0, ("STATUS=" + line).c_str());
}

void ReportServiceError(const std::string& identifier, const std::string& message) {
  if (::sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", LOG_ERR,
                        "SYSLOG_IDENTIFIER=%s", identifier.c_str(), nullptr) >= 0) {
    return;
  }
  ::openlog(identifier.c_str(), LOG_PID, LOG_DAEMON);
  ::syslog(LOG_ERR, "%s", message.c_str());
  ::closelog();
}

}  // namespace platform
