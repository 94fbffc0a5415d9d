// The clocks on Windows: the local time of day, and the performance counter
// for durations.
#include <windows.h>

#include "platform/Clock.h"
#include "platform/PlatformInternal.h"

namespace platform {

TDateTime internal::SystemNow() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  TDateParts p;
  p.Year = local.wYear;
  p.Month = local.wMonth;
  p.Day = local.wDay;
  p.Hour = local.wHour;
  p.Minute = local.wMinute;
  p.Second = local.wSecond;
  p.Millisecond = local.wMilliseconds;
  TDateTime value = 0;
  TryEncodeDateTime(p, value);
  return value;
}

int64_t MonotonicMs() {
  // The counter never goes back and, unlike the tick count, has better than
  // the scheduler's 10-16 ms resolution. Its frequency is fixed at boot.
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? static_cast<int64_t>(f.QuadPart) : int64_t{1000};
  }();
  LARGE_INTEGER count{};
  if (!QueryPerformanceCounter(&count)) return static_cast<int64_t>(GetTickCount64());
  const int64_t ticks = count.QuadPart;
  // Split, so that ticks * 1000 never overflows however long the machine runs.
  return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

}  // namespace platform
