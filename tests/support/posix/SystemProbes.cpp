#include "support/SystemProbes.h"

#include <sys/stat.h>

#include <fstream>

namespace testing_support {

std::string UnwritableFolder() {
  return "/proc";
}

bool ProcessRunning(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  std::string all;
  std::getline(stat, all);
  // The state letter follows the command name in parentheses; "Z" is a zombie.
  const size_t close = all.rfind(')');
  return close != std::string::npos && close + 2 < all.size() && all[close + 2] != 'Z';
}

bool MakeNamedPipe(const std::string& path) {
  return ::mkfifo(path.c_str(), 0600) == 0;
}

std::string SystemLibraryName() {
  return "libm.so.6";
}

std::string NotALibraryErrorCode() {
  return "8";
}

}  // namespace testing_support
