// Font files found by fontconfig's match, as any Linux program finds them.
#include "platform/Fonts.h"

#include <fontconfig/fontconfig.h>

#include "platform/Text.h"

namespace platform {

namespace {

// The family as a fontconfig name: "-", ":" and "," separate the parts of a
// name, so they (and the escape itself) are escaped inside a family.
std::string FamilyPattern(const std::string& family) {
  std::string pattern;
  for (const char c : family) {
    if (c == '\\' || c == '-' || c == ':' || c == ',') pattern += '\\';
    pattern += c;
  }
  return pattern;
}

}  // namespace

TOsResult FindFontFile(const std::string& family, bool bold, bool italic, TFontFile& file) {
  file = {};
  const std::string name = FontFaceName(family, bold, italic);
  // A private configuration, released once the file is known: its font
  // lists are only needed for the match.
  FcConfig* config = FcInitLoadConfigAndFonts();
  if (config == nullptr) {
    return TOsResult::Failure(TOsResult::TKind::failed, "configuration fontconfig introuvable");
  }
  const std::string pattern = FontFaceName(FamilyPattern(family), bold, italic);
  FcPattern* wanted = FcNameParse(reinterpret_cast<const FcChar8*>(pattern.c_str()));
  if (wanted == nullptr) {
    FcConfigDestroy(config);
    return TOsResult::Failure(TOsResult::TKind::failed,
                              Format("motif de police invalide \"%s\"", name.c_str()));
  }
  FcConfigSubstitute(config, wanted, FcMatchPattern);
  FcDefaultSubstitute(wanted);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(config, wanted, &result);
  FcPatternDestroy(wanted);
  FcChar8* path = nullptr;
  if (match == nullptr || FcPatternGetString(match, FC_FILE, 0, &path) != FcResultMatch) {
    if (match != nullptr) FcPatternDestroy(match);
    FcConfigDestroy(config);
    return TOsResult::Failure(TOsResult::TKind::not_found,
                              Format("aucune police trouvée pour \"%s\"", name.c_str()));
  }
  int index = 0;
  FcPatternGetInteger(match, FC_INDEX, 0, &index);
  file.Path = reinterpret_cast<const char*>(path);
  file.Index = index;
  FcPatternDestroy(match);
  FcConfigDestroy(config);
  return TOsResult::Success();
}

}  // namespace platform
