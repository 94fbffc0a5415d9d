#pragma once

// The service as a systemd unit: the unit file, where it is written, and
// installing or removing it. Used by the POSIX service host and its tests,
// which point the root folder at a temporary folder.

#include <string>
#include <vector>

#include "platform/ServiceHost.h"

namespace platform {

// The system account the service runs under.
constexpr const char* SERVICE_USER = "velmar";

// Where the unit goes and whether systemctl is called. The service uses the
// defaults.
struct TUnitTarget {
  std::string RootFolder = "/";  // the unit is written to <root>/etc/systemd/system/
  bool CallSystemctl = true;     // only when RootFolder is "/" and systemd runs
};

// How long systemd lets a stop take before it kills the service, in
// seconds: stated in the unit, and the time an uninstall waits for the stop.
constexpr int UNIT_STOP_TIMEOUT_SEC = 600;

// The unit file text for `service`. The service runs as its own user with
// write access to the executable's folder and to `writableFolders` only (the
// folders named in its configuration; a missing one does not block a start).
std::string BuildUnitFile(const TServiceDescription& service,
                          const std::vector<std::string>& writableFolders = {});
// The unit file's full path under the target.
std::string UnitFilePath(const TServiceDescription& service, const TUnitTarget& target);

// Writes the unit (never over an existing one), then daemon-reload and
// enable. On failure `os` holds errno and its text.
TServiceInstallResult InstallUnit(const TServiceDescription& service, const TUnitTarget& target,
                                  const std::vector<std::string>& writableFolders = {});
// Stops the service (result ignored; the stop is awaited as long as the
// unit's stop timeout allows, plus a margin), waits 2 s, disables it,
// removes the unit and reloads systemd.
TServiceUninstallResult UninstallUnit(const TServiceDescription& service,
                                      const TUnitTarget& target);

// True when systemd runs on this machine.
bool SystemdRunning();

}  // namespace platform
