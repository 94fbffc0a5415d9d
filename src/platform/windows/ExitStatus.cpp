#include "platform/ExitStatus.h"

namespace platform {

int ExitStatus(TExitOutcome outcome) {
  switch (outcome) {
    case TExitOutcome::ok:
      return 0;
    case TExitOutcome::failed:
      break;
    case TExitOutcome::invalid_configuration:
      // ERROR_BAD_CONFIGURATION: a Windows error code, so where the status
      // is shown as the service's exit code the system's text for it ("the
      // configuration data ... is corrupt") points at the settings. It stays
      // apart from a plain failure (1) so that scripts and monitoring can
      // tell that starting again will not help until config.ini is fixed.
      return 1610;
  }
  return 1;
}

}  // namespace platform
