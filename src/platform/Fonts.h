#pragma once

// Where the system keeps the font files. The pictures are drawn with a font
// loaded from a file; which file holds a family in a given style is the
// system's answer (its font configuration on Linux, the Fonts folder on
// Windows).

#include <string>

#include "platform/OsResult.h"

namespace platform {

// One face of a font file.
struct TFontFile {
  std::string Path;  // the file, as the system names it
  int Index = 0;     // the face within the file (0 unless the file holds several)
};

// The face as messages name it: the family, then ":bold" and ":italic" when
// asked for ("Arial", "Arial:bold", "Arial:italic").
inline std::string FontFaceName(const std::string& family, bool bold, bool italic) {
  return family + (bold ? ":bold" : "") + (italic ? ":italic" : "");
}

// Names the file of `family` in the asked style, the system's closest match
// when it has no exact one, into `file`. Not found when the system names no
// file ("aucune police trouvée pour \"Arial:bold\""); failed when the font
// configuration cannot be read or the request not expressed. The text is the
// message the drawing code reports as is. Opens nothing but the system's
// font configuration: whether the file loads is the caller's to find out.
[[nodiscard]] TOsResult FindFontFile(const std::string& family, bool bold, bool italic,
                                     TFontFile& file);

}  // namespace platform
