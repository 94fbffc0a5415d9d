// Path text helpers of Files.h: pure string work, shared by every platform.
#include "platform/Files.h"

namespace platform {

std::string IncludeTrailingDelimiter(std::string_view path) {
  std::string out(path);
  if (out.empty() || out.back() != PATH_DELIM) out += PATH_DELIM;
  return out;
}

std::string ExcludeTrailingDelimiter(std::string_view path) {
  std::string out(path);
  if (out.size() > 1 && out.back() == PATH_DELIM) out.pop_back();
  return out;
}

std::string ExtractFileName(std::string_view path) {
  const size_t slash = path.rfind(PATH_DELIM);
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFileDir(std::string_view path) {
  const size_t slash = path.rfind(PATH_DELIM);
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
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
  return name;
}

bool IsPlainFileName(std::string_view name) {
  return !name.empty() && MakeSafeFileName(name) == name;
}

}  // namespace platform
