// What a path is on this system: "\" between folders when the program
// writes one (what the laboratory's staff expect to read in its logs), "\"
// or "/" when it reads one. A path is absolute with a drive and a separator
// ("C:\data", "C:/data") or on a network share ("\\server\share").
#include "platform/Files.h"
#include "platform/PlatformInternal.h"
#include "platform/windows/FileCalls.h"

namespace platform {

namespace {

bool HasDrive(std::string_view path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

bool IsSharePath(std::string_view path) {
  return path.size() >= 3 && IsPathDelimiter(path[0]) && IsPathDelimiter(path[1]) &&
         !IsPathDelimiter(path[2]);
}

// End of the folder name that starts at `from`: the next separator, or the
// end of the path.
size_t NameEnd(std::string_view path, size_t from) {
  while (from < path.size() && !IsPathDelimiter(path[from])) ++from;
  return from;
}

}  // namespace

bool windows::IsDeviceName(std::string_view name) {
  const std::string_view stem = name.substr(0, name.find('.'));
  const auto is = [&](std::string_view device) {
    if (stem.size() < device.size()) return false;
    for (size_t i = 0; i < device.size(); ++i) {
      char c = stem[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != device[i]) return false;
    }
    return true;
  };
  if (stem.size() == 3) return is("CON") || is("PRN") || is("AUX") || is("NUL");
  return stem.size() == 4 && (is("COM") || is("LPT")) && stem[3] >= '1' && stem[3] <= '9';
}

void internal::ApplySystemNameRules(std::string& name) {
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 32 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' ||
        c == '*') {
      c = '_';
    }
  }
  // Windows drops trailing dots and spaces, so "a." would name the file "a".
  if (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.back() = '_';
  if (windows::IsDeviceName(name)) name.insert(0, 1, '_');
}

char PathDelimiter() {
  return '\\';
}

bool IsPathDelimiter(char c) {
  return c == '\\' || c == '/';
}

size_t internal::PathRootLength(std::string_view path) {
  if (HasDrive(path)) return path.size() > 2 && IsPathDelimiter(path[2]) ? 3 : 2;
  if (IsSharePath(path)) {
    // "\\server\share", with the separator after the share when there is one.
    const size_t server = NameEnd(path, 2);
    if (server == path.size()) return server;
    const size_t share = NameEnd(path, server + 1);
    return share < path.size() ? share + 1 : share;
  }
  return !path.empty() && IsPathDelimiter(path.front()) ? 1 : 0;
}

bool IsAbsolutePath(std::string_view path) {
  return (HasDrive(path) && path.size() > 2 && IsPathDelimiter(path[2])) || IsSharePath(path);
}

std::string ToSystemSeparators(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

}  // namespace platform
