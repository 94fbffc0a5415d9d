// What a path is on this system: "/" between folders, and a path is
// absolute when it starts with one.
#include "platform/Files.h"

namespace platform {

bool IsAbsolutePath(std::string_view path) {
  return !path.empty() && path.front() == PATH_DELIM;
}

}  // namespace platform
