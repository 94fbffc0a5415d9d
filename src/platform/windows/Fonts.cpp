// Font files on Windows: the files of a family in the system's Fonts folder,
// by the names Windows gives them. Liberation Sans, drawn to Arial's
// metrics, stands in where Arial is missing (Wine ships none), and for any
// family the table does not know, as the closest match the service can
// name: from the Fonts folder, then from a "fonts" folder beside the
// executable.
#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "platform/Ascii.h"
#include "platform/Files.h"
#include "platform/Fonts.h"
#include "platform/Format.h"
#include "platform/ProcessInfo.h"
#include "platform/windows/WideText.h"

namespace platform {

namespace {

// The files of one family, by style: regular, bold, italic, bold italic.
using TStyleFiles = std::array<const char*, 4>;

constexpr TStyleFiles kArialFiles = {"arial.ttf", "arialbd.ttf", "ariali.ttf", "arialbi.ttf"};
constexpr TStyleFiles kLiberationSansFiles = {
    "LiberationSans-Regular.ttf", "LiberationSans-Bold.ttf", "LiberationSans-Italic.ttf",
    "LiberationSans-BoldItalic.ttf"};

const char* StyleFile(const TStyleFiles& files, bool bold, bool italic) {
  return files[(bold ? 1 : 0) + (italic ? 2 : 0)];
}

// The Fonts folder shared by every user (the per-session Windows folder of
// a terminal server has none); empty when the system does not say.
std::string SystemFontsFolder() {
  wchar_t buffer[MAX_PATH];
  const UINT n = GetSystemWindowsDirectoryW(buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return JoinPath(windows::Narrow(std::wstring(buffer, n)), "Fonts");
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(windows::Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

TOsResult FindFontFile(const std::string& family, bool bold, bool italic, TFontFile& file) {
  file = {};
  const std::string fonts = SystemFontsFolder();
  std::vector<std::string> candidates;
  if (!fonts.empty()) {
    if (SameTextAscii(family, "Arial")) {
      candidates.push_back(JoinPath(fonts, StyleFile(kArialFiles, bold, italic)));
    }
    candidates.push_back(JoinPath(fonts, StyleFile(kLiberationSansFiles, bold, italic)));
  }
  candidates.push_back(
      JoinPath(JoinPath(ExeFolder(), "fonts"), StyleFile(kLiberationSansFiles, bold, italic)));
  for (const std::string& candidate : candidates) {
    if (IsFile(candidate)) {
      file.Path = candidate;
      return TOsResult::Success();
    }
  }
  return TOsResult::Failure(
      TOsResult::TKind::not_found,
      Format("aucune police trouvée pour \"%s\"", FontFaceName(family, bold, italic).c_str()));
}

}  // namespace platform
