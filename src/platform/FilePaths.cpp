// Path text helpers of Files.h: pure string work, shared by every platform.
#include "platform/Files.h"

#include <algorithm>

#include "platform/PlatformInternal.h"

namespace platform {

std::string IncludeTrailingDelimiter(std::string_view path) {
  std::string out(path);
  if (out.empty() || !IsPathDelimiter(out.back())) out += PathDelimiter();
  return out;
}

std::string ExcludeTrailingDelimiter(std::string_view path) {
  std::string out(path);
  // A root ("/", "C:\") keeps its separator: without it, it would name
  // another place.
  if (out.size() > std::max<size_t>(1, internal::PathRootLength(out)) &&
      IsPathDelimiter(out.back())) {
    out.pop_back();
  }
  return out;
}

namespace {

// Position of the last separator, npos when there is none.
size_t LastDelimiter(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathDelimiter(path[i - 1])) return i - 1;
  }
  return std::string_view::npos;
}

}  // namespace

std::string ExtractFileName(std::string_view path) {
  const size_t slash = LastDelimiter(path);
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFileDir(std::string_view path) {
  const size_t slash = LastDelimiter(path);
  if (slash == std::string_view::npos) return {};
  // A file right under a root: the folder is the root, separator included.
  const size_t root = internal::PathRootLength(path);
  if (slash < root) return std::string(path.substr(0, root));
  return std::string(path.substr(0, slash));
}

std::string ExtractFileExt(std::string_view path) {
  const std::string name = ExtractFileName(path);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  return IncludeTrailingDelimiter(folder) + std::string(name);
}

std::string MakeSafeFileName(std::string_view value) {
  if (value == "." || value == "..") return std::string(value.size(), '_');
  std::string name(value);
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  }
  internal::ApplySystemNameRules(name);
  return name;
}

bool IsPlainFileName(std::string_view name) {
  return !name.empty() && MakeSafeFileName(name) == name;
}

}  // namespace platform
