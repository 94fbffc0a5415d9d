// Program entry: registers or removes the service, runs it in a console for
// diagnosis (-debug), or runs it under the service manager.
#include <iostream>

#include "platform/ExitStatus.h"
#include "platform/ProcessInfo.h"
#include "processing/UServiceStatus.h"
#include "service/ServiceMain.h"

int main(int argc, char** argv) {
  platform::UseUtf8Console();
  switch (SelectRunMode(argc, argv, platform::DebuggerAttached())) {
    case TRunMode::help:
      PrintHelp(std::cout);
      return platform::ExitStatus(platform::TExitOutcome::ok);
    case TRunMode::version:
      PrintVersion(std::cout);
      return platform::ExitStatus(platform::TExitOutcome::ok);
    case TRunMode::status:
      return PrintServiceStatus(platform::ExeFolder(), std::cout);
    case TRunMode::install:
      return InstallService(std::cout);
    case TRunMode::uninstall:
      return UninstallService(std::cout);
    case TRunMode::debug:
      return RunDebug(platform::ExeFolder(), std::cin, std::cout);
    case TRunMode::service:
      return RunService(platform::ExeFolder(), std::cerr);
  }
  return platform::ExitStatus(platform::TExitOutcome::ok);
}
