#include "platform/ProcessInfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>

#include "platform/Text.h"

namespace platform {

std::string ExePath() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

bool DebuggerAttached() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (StartsWith(line, "TracerPid:")) return StrToIntDef(Trim(line.substr(10)), 0) != 0;
  }
  return false;
}

std::string PlatformName() {
  utsname info{};
  if (::uname(&info) != 0) return "Linux";
  return std::string(info.sysname) + " " + info.machine;
}

std::string GetEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value == nullptr ? std::string() : std::string(value);
}

// A terminal shows the locale's encoding, UTF-8 on the systems served.
void UseUtf8Console() {}

}  // namespace platform
