// Resident-size readings shared by the benchmark programs (Linux only, as
// the benchmarks are).
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when absent.
inline long StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}
