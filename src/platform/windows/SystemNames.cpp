#include "platform/SystemNames.h"

namespace platform {

// The cross-built ZBar is one DLL needing only the system's: the copy beside
// the executable is tried first, then the same name the system's way (the
// executable's folder, the system folders, PATH).
std::vector<std::string> BarcodeLibraryNames() {
  return {"libzbar-0.dll"};
}

// The console form of the 64-bit Ghostscript: it writes to our output and
// opens no window.
std::string GhostscriptProgramName() {
  return "gswin64c.exe";
}

}  // namespace platform
