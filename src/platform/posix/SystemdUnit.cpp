#include "platform/posix/SystemdUnit.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/ExitStatus.h"
#include "platform/Files.h"
#include "platform/Spawn.h"
#include "platform/Text.h"
#include "platform/posix/OsErrors.h"

namespace platform {

using posix::Error;
using posix::Quoted;

namespace {

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

bool UseSystemctl(const TUnitTarget& target) {
  return target.CallSystemctl && target.RootFolder == "/" && SystemdRunning();
}

// One path of a path list, quoted; a leading "-" lets a missing path pass.
std::string QuotePath(const std::string& path, bool mayBeMissing) {
  std::string out = "\"";
  if (mayBeMissing) out += '-';
  for (char c : EscapeUnitValue(path, false)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool UnderFolder(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

// Home folders are hidden from the service unless a folder it uses lies
// under one; then they are read-only but for the folders it writes.
bool NeedsHomeFolders(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    for (const char* home : {"/home", "/root", "/run/user"}) {
      if (UnderFolder(path, home)) return true;
    }
  }
  return false;
}

// Runs "systemctl <args...>" and waits for it (two minutes by default); its
// exit status is returned (-1 when it could not run or did not end).
int RunSystemctl(const std::vector<std::string>& args, int deadlineMs = 120000) {
  const std::string systemctl = FindProgramOnPath("systemctl");
  if (systemctl.empty()) return -1;
  const TSpawnResult r = SpawnWithDeadline(systemctl, args, deadlineMs);
  return r.Kind == TSpawnResult::TKind::exited ? r.ExitCode : -1;
}

bool CanWriteUnitFolder(const std::string& folder) {
  return ::access(folder.c_str(), W_OK) == 0;
}

// The account the unit runs under, made when missing, and the executable's
// folder given to it: the service writes its logs, QC log, flags and status
// there, while the sticky bit keeps it from replacing the root-owned
// executable and configuration. Failures are left for the start to report.
void PrepareServiceAccount(const std::string& exeFolder) {
  if (::getpwnam(SERVICE_USER) == nullptr) {
    const std::string useradd = FindProgramOnPath("useradd");
    if (!useradd.empty()) {
      (void)SpawnWithDeadline(useradd,
                              {"--system", "--user-group", "--no-create-home", "--shell",
                               "/usr/sbin/nologin", SERVICE_USER},
                              60000);
    }
  }
  const passwd* account = ::getpwnam(SERVICE_USER);
  if (account == nullptr || exeFolder.empty()) return;
  if (::chown(exeFolder.c_str(), 0, account->pw_gid) == 0) {
    (void)::chmod(exeFolder.c_str(), 01775);
  }
}

std::string UnitFolder(const TUnitTarget& target) {
  return IncludeTrailingDelimiter(target.RootFolder) + "etc/systemd/system";
}

}  // namespace

bool SystemdRunning() {
  return ::sd_booted() > 0;
}

std::string BuildUnitFile(const TServiceDescription& service,
                          const std::vector<std::string>& writableFolders) {
  const std::string folder = ExtractFileDir(service.ExePath);
  std::vector<std::string> used = writableFolders;
  used.push_back(folder);
  std::string text;
  text += "[Unit]\n";
  text += "Description=" + EscapeUnitValue(service.Description, false) + "\n";
  text += "After=local-fs.target remote-fs.target network-online.target\n";
  text += "Wants=network-online.target\n";
  text += "# Stopped before the system bus: a stop at power-off still reads the\n";
  text += "# system state from it and logs the shutdown as such.\n";
  text += "After=dbus.service\n";
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "NotifyAccess=main\n";
  text += "ExecStart=" + QuoteCommand(service.ExePath) + "\n";
  text += "WorkingDirectory=" + EscapeUnitValue(folder, false) + "\n";
  text += "SyslogIdentifier=" + service.Name + "\n";
  text += "# A stop waits for the result file in hand; ten minutes bound a file\n";
  text += "# that hangs, after which the service is killed.\n";
  text += "TimeoutStopSec=" + std::to_string(UNIT_STOP_TIMEOUT_SEC) + "s\n";
  text += "# The processing thread reports every few seconds, even in a long wait;\n";
  text += "# a minute of silence means it is stuck and the service is restarted.\n";
  text += "WatchdogSec=60s\n";
  text += "Restart=on-failure\n";
  const std::string invalid = std::to_string(ExitStatus(TExitOutcome::invalid_configuration));
  text += "# An invalid configuration (exit " + invalid + ") is not retried until it is fixed.\n";
  text += "RestartPreventExitStatus=" + invalid + "\n";
  text += "\n# Its own user, no privileges, and write access only where it works:\n";
  text += "# the executable's folder (configuration, logs, QC, flags) and the\n";
  text += "# configured folders. Outputs are not readable by other users.\n";
  text += std::string("User=") + SERVICE_USER + "\n";
  text += std::string("Group=") + SERVICE_USER + "\n";
  text += "UMask=0027\n";
  text += "CapabilityBoundingSet=\n";
  text += "AmbientCapabilities=\n";
  text += "NoNewPrivileges=yes\n";
  text += "ProtectSystem=strict\n";
  text += "ReadWritePaths=" + QuotePath(folder, false) + "\n";
  for (const std::string& path : writableFolders) {
    if (!path.empty()) text += "ReadWritePaths=" + QuotePath(path, true) + "\n";
  }
  text += std::string("ProtectHome=") + (NeedsHomeFolders(used) ? "read-only" : "yes") + "\n";
  text += "PrivateTmp=yes\n";
  text += "PrivateDevices=yes\n";
  text += "DevicePolicy=closed\n";
  text += "PrivateUsers=yes\n";
  text += "PrivateNetwork=yes\n";
  text += "IPAddressDeny=any\n";
  text += "# The journal and the system bus only.\n";
  text += "RestrictAddressFamilies=AF_UNIX\n";
  text += "RestrictNamespaces=yes\n";
  text += "RestrictRealtime=yes\n";
  text += "RestrictSUIDSGID=yes\n";
  text += "ProtectClock=yes\n";
  text += "ProtectHostname=yes\n";
  text += "ProtectKernelTunables=yes\n";
  text += "ProtectKernelModules=yes\n";
  text += "ProtectKernelLogs=yes\n";
  text += "ProtectControlGroups=yes\n";
  text += "ProtectProc=invisible\n";
  text += "ProcSubset=pid\n";
  text += "LockPersonality=yes\n";
  text += "MemoryDenyWriteExecute=yes\n";
  text += "KeyringMode=private\n";
  text += "RemoveIPC=yes\n";
  text += "SystemCallArchitectures=native\n";
  text += "SystemCallFilter=@system-service\n";
  text += "SystemCallFilter=~@privileged @resources\n";
  text += "SystemCallErrorNumber=EPERM\n";
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

std::string UnitFilePath(const TServiceDescription& service, const TUnitTarget& target) {
  return UnitFolder(target) + "/" + service.Name + ".service";
}

TServiceInstallResult InstallUnit(const TServiceDescription& service, const TUnitTarget& target,
                                  const std::vector<std::string>& writableFolders) {
  const std::string folder = UnitFolder(target);
  if (!FolderExists(folder) || !CanWriteUnitFolder(folder)) {
    const int err = errno;
    return {TInstallOutcome::no_rights, Error("access " + Quoted(folder), err)};
  }
  const std::string path = UnitFilePath(service, target);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int err = errno;
    return {err == EEXIST ? TInstallOutcome::already_installed : TInstallOutcome::failed,
            Error("open " + Quoted(path), err)};
  }
  const std::string text = BuildUnitFile(service, writableFolders);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int writeErr = errno;
  if (::close(fd) != 0 || !written) {
    const int closeErr = errno;
    const TOsResult os = written ? Error("close " + Quoted(path), closeErr)
                                 : Error("write " + Quoted(path), writeErr);
    ::unlink(path.c_str());
    return {TInstallOutcome::failed, os};
  }
  if (UseSystemctl(target)) {
    PrepareServiceAccount(ExtractFileDir(service.ExePath));
    RunSystemctl({"daemon-reload"});
    RunSystemctl({"enable", service.Name + ".service"});
  }
  return {TInstallOutcome::installed, TOsResult::Success()};
}

TServiceUninstallResult UninstallUnit(const TServiceDescription& service,
                                      const TUnitTarget& target) {
  const std::string folder = UnitFolder(target);
  if ((target.RootFolder == "/" && ::geteuid() != 0) ||
      (FolderExists(folder) && !CanWriteUnitFolder(folder))) {
    return {TUninstallOutcome::no_rights, Error("access " + Quoted(folder), EACCES)};
  }
  const std::string path = UnitFilePath(service, target);
  if (!FileExists(path)) {
    return {TUninstallOutcome::not_installed, Error("stat " + Quoted(path), ENOENT)};
  }
  const bool systemctl = UseSystemctl(target);
  if (systemctl) {
    // A stopped service is no error; a file in hand is awaited as long as
    // systemd itself waits before killing the service.
    RunSystemctl({"stop", service.Name + ".service"}, (UNIT_STOP_TIMEOUT_SEC + 60) * 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    RunSystemctl({"disable", service.Name + ".service"});
  }
  if (::unlink(path.c_str()) != 0) {
    const int err = errno;
    return {TUninstallOutcome::failed, Error("unlink " + Quoted(path), err)};
  }
  if (systemctl) RunSystemctl({"daemon-reload"});
  return {TUninstallOutcome::uninstalled, TOsResult::Success()};
}

}  // namespace platform
