// The program search of Spawn.h, the same on every system: the walk through
// the folders of a search list. The list's separator, its default and the
// test for an executable file are the system folder's part.
#include <algorithm>

#include "platform/Files.h"
#include "platform/PlatformInternal.h"
#include "platform/Spawn.h"

namespace platform {

std::string FindProgramOnPath(const std::string& name, const std::string& searchPath) {
  if (name.empty()) return {};
  if (std::any_of(name.begin(), name.end(), IsPathDelimiter)) {
    return internal::IsExecutableFile(name) ? name : std::string();
  }
  const char separator = internal::SearchPathSeparator();
  size_t pos = 0;
  while (pos <= searchPath.size()) {
    size_t next = searchPath.find(separator, pos);
    if (next == std::string::npos) next = searchPath.size();
    const std::string folder = searchPath.substr(pos, next - pos);
    pos = next + 1;
    if (folder.empty()) continue;
    const std::string candidate = JoinPath(folder, name);
    if (internal::IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

std::string FindProgramOnPath(const std::string& name) {
  return FindProgramOnPath(name, ProgramSearchPath());
}

}  // namespace platform
