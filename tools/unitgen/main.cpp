// Prints the service's systemd unit for an executable at a given path, the
// same text that "-install" writes. The build runs it to make the unit
// shipped in the Debian package.
//
//   unitgen EXE_PATH [WRITABLE_FOLDER...]

#include <iostream>
#include <string>
#include <vector>

#include "platform/posix/SystemdUnit.h"
#include "service/ServiceMain.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: unitgen EXE_PATH [WRITABLE_FOLDER...]\n";
    return 2;
  }
  const platform::TServiceDescription service{velmar::SERVICE_NAME, velmar::SERVICE_DISPLAY,
                                              velmar::SERVICE_DESCRIPTION, argv[1]};
  const std::vector<std::string> folders(argv + 2, argv + argc);
  std::cout << platform::BuildUnitFile(service, folders);
  return std::cout ? 0 : 1;
}
