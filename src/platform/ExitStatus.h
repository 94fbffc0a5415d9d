#pragma once

// The status the process ends with, as this system's service manager reads
// it: some outcomes tell the manager not to start the service again.

namespace platform {

enum class TExitOutcome {
  ok,
  failed,                 // a start, an install or an uninstall that failed
  invalid_configuration,  // the settings are wrong: starting again cannot help
};

int ExitStatus(TExitOutcome outcome);

}  // namespace platform
