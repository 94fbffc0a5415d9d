// The listing rules of ListFiles and ListRegularFiles, the same on every
// system: the wildcard filter on names and the order of the result. Reading
// the folder itself is the system folder's part.
#include <algorithm>

#include "platform/Ascii.h"
#include "platform/Files.h"
#include "platform/PlatformInternal.h"

namespace platform {

namespace {

// Wildcard match with "*" and "?" only, ASCII letters compared without case.
bool WildcardMatch(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || UpperAsciiChar(pattern[p]) == UpperAsciiChar(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

void SortNames(std::vector<std::string>& names) {
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return LessTextThenBytes(a, b); });
}

}  // namespace

TOsResult ListFiles(const std::string& folder, const std::string& pattern,
                    std::vector<std::string>& names) {
  names.clear();
  const bool all = pattern == "*" || pattern == "*.*";
  const TOsResult r = internal::ListFolderFiles(
      folder, [&](std::string_view name) { return all || WildcardMatch(pattern, name); }, names);
  if (!r.Ok()) return r;
  SortNames(names);
  return TOsResult::Success();
}

TOsResult ListRegularFiles(const std::string& folder, const std::string& pattern,
                           std::vector<std::string>& names, std::vector<std::string>& skipped) {
  names.clear();
  skipped.clear();
  const bool all = pattern == "*" || pattern == "*.*";
  // Every entry is asked about before the listing looks any further at it,
  // folders included: the entries that are not regular files are set aside
  // here, so the listing itself never follows a link.
  const TOsResult r = internal::ListFolderFiles(
      folder,
      [&](std::string_view name) {
        if (!all && !WildcardMatch(pattern, name)) return false;
        const std::string entry(name);
        if (IsRegularFile(JoinPath(folder, entry))) return true;
        skipped.push_back(entry);
        return false;
      },
      names);
  if (!r.Ok()) {
    skipped.clear();
    return r;
  }
  SortNames(names);
  SortNames(skipped);
  return TOsResult::Success();
}

}  // namespace platform
