#pragma once

// What this operating system calls the outside components the service uses.
// Domain modules ask here rather than spelling a system's file names.

#include <string>
#include <vector>

namespace platform {

// File names under which the barcode library may be found, in the order
// they are tried (beside the executable, then the system's way).
std::vector<std::string> BarcodeLibraryNames();

// File name of Ghostscript's command-line program.
std::string GhostscriptProgramName();

}  // namespace platform
