// What a path is on this system: "/" between folders, and a path is
// absolute when it starts with one.
#include "platform/Files.h"

namespace platform {

bool IsAbsolutePath(std::string_view path) {
  return !path.empty() && path.front() == PATH_DELIM;
}

std::string ToSystemSeparators(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = PATH_DELIM;
  }
  return out;
}

}  // namespace platform
