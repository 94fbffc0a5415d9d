// samplelab: creates a ready-to-run sample laboratory in a folder.
#include <cstring>
#include <iostream>

#include "samplelab/SampleLab.h"

int main(int argc, char** argv) {
  std::string root;
  bool photos = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-photos") == 0) {
      photos = false;
    } else if (root.empty()) {
      root = argv[i];
    }
  }
  if (root.empty()) {
    std::cerr << "usage: samplelab FOLDER [--no-photos]\n"
                 "Creates FOLDER/install (config.ini, QC targets), FOLDER/instruments (result\n"
                 "files and photographs of two instruments) and FOLDER/out (destinations).\n";
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
