#pragma once

// The service manager as the service host sees it: registering and removing
// the service, and running the process under the manager, which drives the
// service object through its handlers.

#include <functional>
#include <string>

#include "platform/OsResult.h"

namespace platform {

// What the service manager is told about the service.
struct TServiceDescription {
  std::string Name;         // "VelmarImageService": the service's key and system-log name
  std::string DisplayName;  // the name shown to administrators
  std::string Description;  // one sentence saying what the service does
  std::string ExePath;      // full path of the executable
};

enum class TInstallOutcome { installed, already_installed, no_rights, failed };
enum class TUninstallOutcome { uninstalled, not_installed, no_rights, failed };

// The outcome of a registration or removal, and what the system said when
// it failed (its text and its error number, for display).
struct TServiceInstallResult {
  TInstallOutcome Outcome = TInstallOutcome::failed;
  TOsResult Os;
};
struct TServiceUninstallResult {
  TUninstallOutcome Outcome = TUninstallOutcome::failed;
  TOsResult Os;
};

// Registers the service to start with the system. An existing registration
// is never changed. The service is not started.
TServiceInstallResult RegisterService(const TServiceDescription& service);
// Stops the service (a stopped service is no error), waits for the stop as
// long as the service makes progress (the file in hand is finished), then
// removes its registration. `progress`, when given, hears a line now and
// then while the stop goes on.
TServiceUninstallResult UnregisterService(
    const TServiceDescription& service,
    const std::function<void(const std::string&)>& progress = {});

// The service manager's name as administrators know it, for console texts.
std::string ServiceManagerName();

// The command an administrator types to start the installed service.
std::string ServiceStartCommandText(const std::string& name);

// Hands the oldest pending control request, if any, to its handler without
// waiting. True once a stop or a shutdown has been handled: the run loop
// must then end.
using TProcessRequests = std::function<bool()>;

// The service object's handlers. They are called one at a time, never two
// at once, on the thread that called RunUnderServiceManager.
struct TServiceHandlers {
  std::function<bool()> Start;  // true when the service runs
  std::function<void()> Stop;
  std::function<void()> Pause;
  std::function<void()> Continue;
  std::function<void()> Shutdown;  // a stop while the system is shutting down
  // The run loop after a good start: calls the given function until it
  // returns true, pausing between calls.
  std::function<void(const TProcessRequests&)> Execute;
  // The exit status of a start that failed, told to a service manager that
  // keeps one per service (Windows); 1 when not given.
  std::function<int()> StartFailureStatus;
};

enum class TServiceRunOutcome {
  stopped,        // started, ran, and was stopped or shut down
  start_failed,   // Start returned false; the manager was told
  not_connected,  // the service manager could not be reached: text says why
};

struct TServiceRunResult {
  TServiceRunOutcome Outcome = TServiceRunOutcome::not_connected;
  std::string Text;
};

// Runs the process as the service `name`: connects to the service manager,
// calls Start, reports the service ready when it started, then runs Execute,
// whose requests dispatch stop (or shutdown), pause and continue to the
// handlers; a stop or shutdown is reported to the manager before its
// handler runs. Returns when the service has ended or could not run.
TServiceRunResult RunUnderServiceManager(const std::string& name, const TServiceHandlers& handlers);

// Tells the service manager the service is alive (its watchdog is reset).
// Does nothing when the process does not run under the manager. Safe from
// any thread.
void NotifyWatchdog();
// Sets the one-line status text the service manager shows for the service.
// Does nothing when the process does not run under the manager.
void NotifyStatus(const std::string& text);

// Sends one line to the system log as an error.
void ReportServiceError(const std::string& identifier, const std::string& message);

}  // namespace platform
