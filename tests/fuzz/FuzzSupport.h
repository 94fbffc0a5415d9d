#pragma once
// Shared by the fuzz targets: the check that stops a run on a broken
// invariant, and a scratch folder of the process for readers that take a
// path (under $TMPDIR, which scripts/fuzz.sh points at its work folder).
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "platform/Files.h"
#include "platform/Format.h"
#include "platform/ProcessInfo.h"

namespace fuzz_support {

// Stops the run, naming the line of the broken check.
inline void Check(bool condition, int line = __builtin_LINE(),
                  const char* file = __builtin_FILE()) {
  if (condition) return;
  std::fprintf(stderr, "fuzz: invariant broken at %s:%d\n", file, line);
  std::abort();
}

// A folder of its own for this process, made on first use.
inline const std::string& ScratchFolder() {
  static const std::string folder = [] {
    std::string base = platform::GetEnv("TMPDIR");
    if (base.empty()) base = "/tmp";
    std::random_device random;
    const std::string path =
        platform::JoinPath(base, platform::Format("velmar-fuzz-%08x%08x", random(), random()));
    Check(platform::MakeFolders(path).Ok());
    return path;
  }();
  return folder;
}

// Writes the bytes as the file `name` of the scratch folder; returns its path.
inline std::string WriteScratch(const std::string& name, const std::string& bytes) {
  const std::string path = platform::JoinPath(ScratchFolder(), name);
  Check(platform::WriteFileBytes(path, bytes).Ok());
  return path;
}

}  // namespace fuzz_support
