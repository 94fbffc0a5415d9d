#include "platform/posix/SystemdUnit.h"

#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

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

// Runs "systemctl <args...>" and waits for it (two minutes at most); its exit
// status is returned (-1 when it could not run or did not end).
int RunSystemctl(const std::vector<std::string>& args) {
  const std::string systemctl = FindProgramOnPath("systemctl");
  if (systemctl.empty()) return -1;
  const TSpawnResult r = SpawnWithDeadline(systemctl, args, 120000);
  return r.Kind == TSpawnResult::TKind::exited ? r.ExitCode : -1;
}

bool CanWriteUnitFolder(const std::string& folder) {
  return ::access(folder.c_str(), W_OK) == 0;
}

std::string UnitFolder(const TUnitTarget& target) {
  return IncludeTrailingDelimiter(target.RootFolder) + "etc/systemd/system";
}

}  // namespace

bool SystemdRunning() {
  return ::sd_booted() > 0;
}

std::string BuildUnitFile(const TServiceDescription& service) {
  const std::string folder = ExtractFileDir(service.ExePath);
  std::string text;
  text += "[Unit]\n";
  text += "Description=" + EscapeUnitValue(service.Description, false) + "\n";
  text += "After=local-fs.target remote-fs.target network-online.target\n";
  text += "Wants=network-online.target\n";
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "NotifyAccess=main\n";
  text += "ExecStart=" + QuoteCommand(service.ExePath) + "\n";
  text += "WorkingDirectory=" + EscapeUnitValue(folder, false) + "\n";
  text += "SyslogIdentifier=" + service.Name + "\n";
  text += "# A stop waits for the result file in hand, however long it takes.\n";
  text += "TimeoutStopSec=infinity\n";
  text += "Restart=on-failure\n";
  text += "# An invalid configuration (exit 78) is not retried until it is fixed.\n";
  text += "RestartPreventExitStatus=78\n";
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

std::string UnitFilePath(const TServiceDescription& service, const TUnitTarget& target) {
  return UnitFolder(target) + "/" + service.Name + ".service";
}

TServiceInstallResult InstallUnit(const TServiceDescription& service, const TUnitTarget& target) {
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
  const std::string text = BuildUnitFile(service);
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
    RunSystemctl({"stop", service.Name + ".service"});  // a stopped service is no error
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
