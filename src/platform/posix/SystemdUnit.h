#pragma once

// The service as a systemd unit: the unit file, where it is written, and
// installing or removing it. Used by the POSIX service host and its tests,
// which point the root folder at a temporary folder.

#include <string>

#include "platform/ServiceHost.h"

namespace platform {

// Where the unit goes and whether systemctl is called. The service uses the
// defaults.
struct TUnitTarget {
  std::string RootFolder = "/";  // the unit is written to <root>/etc/systemd/system/
  bool CallSystemctl = true;     // only when RootFolder is "/" and systemd runs
};

// The unit file text for `service`.
std::string BuildUnitFile(const TServiceDescription& service);
// The unit file's full path under the target.
std::string UnitFilePath(const TServiceDescription& service, const TUnitTarget& target);

// Writes the unit (never over an existing one), then daemon-reload and
// enable. On failure `os` holds errno and its text.
TServiceInstallResult InstallUnit(const TServiceDescription& service, const TUnitTarget& target);
// Stops the service (result ignored), waits 2 s, disables it, removes the
// unit and reloads systemd.
TServiceUninstallResult UninstallUnit(const TServiceDescription& service,
                                      const TUnitTarget& target);

// True when systemd runs on this machine.
bool SystemdRunning();

}  // namespace platform
