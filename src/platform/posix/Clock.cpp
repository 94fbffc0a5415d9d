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
  p.year = local.tm_year + 1900;
  p.month = local.tm_mon + 1;
  p.day = local.tm_mday;
  p.hour = local.tm_hour;
  p.minute = local.tm_min;
  p.second = local.tm_sec > 59 ? 59 : local.tm_sec;  // leap second
  p.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
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
