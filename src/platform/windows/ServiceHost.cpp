// The service manager on Windows. Registering with the service control
// manager, its dispatcher and the event log come with the Windows service;
// until then this build says so instead of pretending: -install and
// -uninstall fail as when the manager cannot be opened, running without a
// switch fails as when the dispatcher cannot be reached, and the console
// mode (-debug), which needs no manager, works fully.
#include <windows.h>

#include "platform/ServiceHost.h"

namespace platform {

namespace {

// The text every refused request carries.
constexpr const char* kNotAvailable =
    "le service Windows n'est pas disponible dans cette version du programme";

TOsResult NoServiceManager(const char* call) {
  return TOsResult::Failure(TOsResult::TKind::failed, std::string(call) + ": " + kNotAvailable,
                            ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace

TServiceInstallResult RegisterService(const TServiceDescription& /*service*/) {
  return {TInstallOutcome::no_rights, NoServiceManager("OpenSCManager")};
}

TServiceUninstallResult UnregisterService(const TServiceDescription& /*service*/) {
  return {TUninstallOutcome::no_rights, NoServiceManager("OpenSCManager")};
}

std::string ServiceManagerName() {
  return "Windows";
}

std::string ServiceStartCommandText(const std::string& name) {
  return "sc start " + name;
}

// Without a dispatcher, no process is taken for one the manager started:
// the caller reports the failed connection and points at -debug.
TServiceRunResult RunUnderServiceManager(const std::string& /*name*/,
                                         const TServiceHandlers& /*handlers*/) {
  return {TServiceRunOutcome::not_connected, kNotAvailable};
}

void NotifyWatchdog() {}

void NotifyStatus(const std::string& /*text*/) {}

void ReportServiceError(const std::string& /*identifier*/, const std::string& /*message*/) {
  // The event log comes with the service; the caller also prints the message.
}

}  // namespace platform
