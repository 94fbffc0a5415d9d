#pragma once

// The service manager (systemd) as the service host sees it: installing and
// removing the unit, the readiness and stopping notifications, control
// requests arriving as signals, and the system's shutdown state.

#include <string>

namespace platform {

struct TUnitDescription {
  std::string Name;         // "VelmarImageService": the unit file and syslog identifier
  std::string Description;  // the unit's Description=
  std::string ExePath;      // full path of the executable
};

// Where the unit goes and whether systemctl is called. Tests point RootFolder
// at a temporary folder; the service uses the defaults.
struct TUnitTarget {
  std::string RootFolder = "/";  // the unit is written to <root>/etc/systemd/system/
  bool CallSystemctl = true;     // only when RootFolder is "/" and systemd runs
};

enum class TInstallOutcome { installed, already_installed, no_rights, failed };
enum class TUninstallOutcome { uninstalled, not_installed, no_rights, failed };

// The unit file text for `unit`.
std::string BuildUnitFile(const TUnitDescription& unit);
// The unit file's full path under the target.
std::string UnitFilePath(const TUnitDescription& unit, const TUnitTarget& target);

// Writes the unit (never over an existing one), then daemon-reload and
// enable. `errorCode` receives errno on failure.
TInstallOutcome InstallUnit(const TUnitDescription& unit, const TUnitTarget& target,
                            int& errorCode);
// Stops the service (result ignored), waits 2 s, disables it, removes the
// unit and reloads systemd.
TUninstallOutcome UninstallUnit(const TUnitDescription& unit, const TUnitTarget& target,
                                int& errorCode);

// True when the process was started by systemd (NOTIFY_SOCKET or
// INVOCATION_ID in its environment).
bool StartedByServiceManager();
void NotifyReady();
void NotifyStopping();
// True while the system is shutting down (systemd's SystemState "stopping").
bool SystemShuttingDown();

// Control requests: SIGTERM and SIGINT ask for a stop, SIGUSR1 for a pause,
// SIGUSR2 for a continue. The handlers only record the request.
enum class TControlRequest { none, stop, pause, resume };
void InstallControlSignalHandlers();
// The oldest pending request (stop before anything else), cleared once taken.
TControlRequest TakeControlRequest();

// Sends one line to the system log (journal or syslog) as an error.
void ReportServiceError(const std::string& identifier, const std::string& message);

}  // namespace platform
