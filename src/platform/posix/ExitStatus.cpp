#include "platform/ExitStatus.h"

namespace platform {

int ExitStatus(TExitOutcome outcome) {
  switch (outcome) {
    case TExitOutcome::ok:
      return 0;
    case TExitOutcome::failed:
      break;
    case TExitOutcome::invalid_configuration:
      // EX_CONFIG: the unit written at install names it in
      // RestartPreventExitStatus, so systemd does not restart the service
      // until the settings are fixed.
      return 78;
  }
  return 1;
}

}  // namespace platform
