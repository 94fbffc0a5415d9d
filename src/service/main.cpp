// Program entry: registers or removes the service, runs it in a console for
// diagnosis (-debug), or runs it under the service manager.
#include <iostream>

#include "barcode/UZBar.h"
#include "platform/ProcessInfo.h"
#include "service/ServiceMain.h"

int main(int argc, char** argv) {
  const TRunMode mode = SelectRunMode(argc, argv, platform::DebuggerAttached());
  switch (mode) {
    case TRunMode::install:
      InstallService(std::cout);
      return 0;
    case TRunMode::uninstall:
      UninstallService(std::cout);
      return 0;
    case TRunMode::debug:
    case TRunMode::service:
      break;
  }
  const int status = mode == TRunMode::debug ? RunDebug(platform::ExeFolder(), std::cin, std::cout)
                                             : RunService(platform::ExeFolder(), std::cerr);
  FinalizeZBar();
  return status;
}
