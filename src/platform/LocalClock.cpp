// Now() and its test override, the same on every system; reading the
// system's clock is the system folder's part.
#include <mutex>

#include "platform/Clock.h"
#include "platform/PlatformInternal.h"

namespace platform {

namespace {
// Guards the test override of the local clock.
std::mutex GNowMutex;
std::function<TDateTime()> GNowOverride;
}  // namespace

TDateTime Now() {
  {
    std::lock_guard<std::mutex> lock(GNowMutex);
    if (GNowOverride) return GNowOverride();
  }
  return internal::SystemNow();
}

void SetNowForTesting(std::function<TDateTime()> now) {
  std::lock_guard<std::mutex> lock(GNowMutex);
  GNowOverride = std::move(now);
}

}  // namespace platform
