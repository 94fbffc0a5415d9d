// What a path is on this system: "/" between folders, and a path is
// absolute when it starts with one.
#include "platform/Files.h"
#include "platform/PlatformInternal.h"

namespace platform {

char PathDelimiter() {
  return '/';
}

bool IsPathDelimiter(char c) {
  return c == '/';
}

size_t internal::PathRootLength(std::string_view path) {
  return !path.empty() && path.front() == '/' ? 1 : 0;
}

bool IsAbsolutePath(std::string_view path) {
  return !path.empty() && path.front() == '/';
}

void internal::ApplySystemNameRules(std::string& /*name*/) {}

std::string ToSystemSeparators(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

}  // namespace platform
