#include <time.h>

#include "platform/Clock.h"
#include "platform/PlatformInternal.h"

namespace platform {

TDateTime internal::SystemNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  ::localtime_r(&ts.tv_sec, &local);
  TDateParts p;
  p.Year = local.tm_year + 1900;
  p.Month = local.tm_mon + 1;
  p.Day = local.tm_mday;
  p.Hour = local.tm_hour;
  p.Minute = local.tm_min;
  p.Second = local.tm_sec > 59 ? 59 : local.tm_sec;  // leap second
  p.Millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  TDateTime value = 0;
  TryEncodeDateTime(p, value);
  return value;
}

int64_t MonotonicMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace platform
