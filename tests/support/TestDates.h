#pragma once

// Dates of the tests written as numbers.

#include "platform/Clock.h"

namespace testing_support {

// That day and time of day; 0 when no such date exists.
inline TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  TDateTime v = 0;
  platform::TryEncodeDateTime({y, mo, d, h, mi, s, 0}, v);
  return v;
}

}  // namespace testing_support
