// samplelab: creates a ready-to-run sample laboratory in a folder.
#include <iostream>
#include <string>

#include "samplelab/SampleLab.h"

namespace {

constexpr const char* USAGE =
    "usage: samplelab FOLDER [--no-photos]\n"
    "Creates FOLDER/install (config.ini, QC targets), FOLDER/instruments (result\n"
    "files and photographs of two instruments) and FOLDER/out (destinations).\n"
    "  --no-photos  result files only, without the photographs\n"
    "  --help       this text\n";

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  bool photos = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--no-photos") {
      photos = false;
    } else if (arg == "--help" || arg == "-h") {
      std::cout << USAGE;
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      // Never a folder: "--hlep" is a mistyped option, not a laboratory name.
      std::cerr << "samplelab: unknown option " << arg << "\n" << USAGE;
      return 2;
    } else if (root.empty()) {
      root = arg;
    }
  }
  if (root.empty()) {
    std::cerr << USAGE;
    return 2;
  }
  samplelab::TLabLayout layout;
  if (!samplelab::CreateSampleLab(root, photos, layout)) return 1;
  std::cout << "Sample laboratory ready in " << layout.Root << "\n"
            << "  install folder (copy the executable here): " << layout.Install << "\n"
            << "  instrument folders: " << layout.Root << "/instruments\n"
            << "  outputs: " << layout.Out << "\n";
  return 0;
}
