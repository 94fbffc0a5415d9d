#include "platform/SystemNames.h"

namespace platform {

std::vector<std::string> BarcodeLibraryNames() {
  return {"libzbar.so.0"};
}

std::string GhostscriptProgramName() {
  return "gs";
}

}  // namespace platform
