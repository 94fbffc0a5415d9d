// ExeFolder of ProcessInfo.h, the same on every system: the folder part of
// the executable's path as the system reports it.
#include "platform/Files.h"
#include "platform/ProcessInfo.h"

namespace platform {

std::string ExeFolder() {
  const std::string exe = ExePath();
  if (exe.empty()) return "./";
  return IncludeTrailingDelimiter(ExtractFileDir(exe));
}

}  // namespace platform
