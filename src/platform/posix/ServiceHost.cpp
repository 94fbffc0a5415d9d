#include "platform/ServiceHost.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/Spawn.h"
#include "platform/Text.h"

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

// Unit files treat "%" as a specifier and "$" as a variable in commands.
std::string EscapeUnitValue(const std::string& s, bool command) {
  std::string out = ReplaceAll(s, "%", "%%");
  if (command) out = ReplaceAll(out, "$", "$$");
  return out;
}

std::string QuoteCommand(const std::string& path) {
  std::string out = "\"";
  for (char c : EscapeUnitValue(path, true)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool SystemdRunning() {
  return ::sd_booted() > 0;
}

bool UseSystemctl(const TUnitTarget& target) {
  return target.CallSystemctl && target.RootFolder == "/" && SystemdRunning();
}

// Runs "systemctl <args...>" and waits for it (two minutes at most); its exit
// status is returned (-1 when it could not run or did not end).
int RunSystemctl(const std::vector<std::string>& args) {
  const std::string systemctl = FindProgramOnPath("systemctl");
  if (systemctl.empty()) return -1;
  const TSpawnResult r = SpawnWithDeadline(systemctl, args, 120000);
  return r.kind == TSpawnResult::Kind::exited ? r.exitCode : -1;
}

bool CanWriteUnitFolder(const std::string& folder) {
  return ::access(folder.c_str(), W_OK) == 0;
}

std::string UnitFolder(const TUnitTarget& target) {
  return IncludeTrailingDelimiter(target.RootFolder) + "etc/systemd/system";
}

}  // namespace

std::string BuildUnitFile(const TUnitDescription& unit) {
  const std::string folder = ExtractFileDir(unit.ExePath);
  std::string text;
  text += "[Unit]\n";
  text += "Description=" + EscapeUnitValue(unit.Description, false) + "\n";
  text += "After=local-fs.target remote-fs.target network-online.target\n";
  text += "Wants=network-online.target\n";
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "NotifyAccess=main\n";
  text += "ExecStart=" + QuoteCommand(unit.ExePath) + "\n";
  text += "WorkingDirectory=" + EscapeUnitValue(folder, false) + "\n";
  text += "SyslogIdentifier=" + unit.Name + "\n";
  text += "# A stop waits for the result file in hand, however long it takes.\n";
  text += "TimeoutStopSec=infinity\n";
  text += "Restart=on-failure\n";
  text += "# An invalid configuration (exit 78) is not retried until it is fixed.\n";
  text += "RestartPreventExitStatus=78\n";
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

std::string UnitFilePath(const TUnitDescription& unit, const TUnitTarget& target) {
  return UnitFolder(target) + "/" + unit.Name + ".service";
}

TInstallOutcome InstallUnit(const TUnitDescription& unit, const TUnitTarget& target,
                            int& errorCode) {
  errorCode = 0;
  const std::string folder = UnitFolder(target);
  if (!FolderExists(folder) || !CanWriteUnitFolder(folder)) {
    errorCode = errno;
    return TInstallOutcome::no_rights;
  }
  const std::string path = UnitFilePath(unit, target);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    errorCode = errno;
    return errno == EEXIST ? TInstallOutcome::already_installed : TInstallOutcome::failed;
  }
  const std::string text = BuildUnitFile(unit);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int writeErr = errno;
  if (::close(fd) != 0 || !written) {
    errorCode = written ? errno : writeErr;
    ::unlink(path.c_str());
    return TInstallOutcome::failed;
  }
  if (UseSystemctl(target)) {
    RunSystemctl({"daemon-reload"});
    RunSystemctl({"enable", unit.Name + ".service"});
  }
  return TInstallOutcome::installed;
}

TUninstallOutcome UninstallUnit(const TUnitDescription& unit, const TUnitTarget& target,
                                int& errorCode) {
  errorCode = 0;
  const std::string folder = UnitFolder(target);
  if ((target.RootFolder == "/" && ::geteuid() != 0) ||
      (FolderExists(folder) && !CanWriteUnitFolder(folder))) {
    return TUninstallOutcome::no_rights;
  }
  const std::string path = UnitFilePath(unit, target);
  if (!FileExists(path)) return TUninstallOutcome::not_installed;
  const bool systemctl = UseSystemctl(target);
  if (systemctl) {
    RunSystemctl({"stop", unit.Name + ".service"});  // a stopped service is no error
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    RunSystemctl({"disable", unit.Name + ".service"});
  }
  if (::unlink(path.c_str()) != 0) {
    errorCode = errno;
    return TUninstallOutcome::failed;
  }
  if (systemctl) RunSystemctl({"daemon-reload"});
  return TUninstallOutcome::uninstalled;
}

bool StartedByServiceManager() {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  const char* invocation = std::getenv("INVOCATION_ID");
  return (notify != nullptr && *notify != '\0') || (invocation != nullptr && *invocation != '\0');
}

void NotifyReady() {
  ::sd_notify(0, "READY=1");
}

void NotifyStopping() {
  ::sd_notify(0, "STOPPING=1");
}

bool SystemShuttingDown() {
  if (!SystemdRunning()) return false;
  sd_bus* bus = nullptr;
  if (::sd_bus_open_system(&bus) < 0) return false;
  char* state = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int r = ::sd_bus_get_property_string(
      bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
      "org.freedesktop.systemd1.Manager", "SystemState", &error, &state);
  const bool stopping = r >= 0 && state != nullptr && std::string(state) == "stopping";
  std::free(state);
  ::sd_bus_error_free(&error);
  ::sd_bus_unref(bus);
  return stopping;
}

void InstallControlSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signo : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) ::sigaction(signo, &action, nullptr);
}

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
