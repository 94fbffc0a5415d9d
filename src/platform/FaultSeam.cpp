// The write fault of the tests, the same on every system; the system
// folder's file operations ask internal::WriteFaultDue before they write,
// rename or create a folder.
#include "platform/FaultSeam.h"

#include <atomic>

#include "platform/PlatformInternal.h"

namespace platform {

namespace {
std::atomic<int> GFaultAt{0};     // the operation that fails; 0: none
std::atomic<int> GOperations{0};  // operations counted since the fault was set
std::atomic<bool> GFaultHit{false};
}  // namespace

void SetWriteFaultForTesting(int k) {
  GFaultAt = 0;
  GOperations = 0;
  GFaultHit = false;
  GFaultAt = k > 0 ? k : 0;
}

bool WriteFaultHitForTesting() {
  return GFaultHit;
}

bool internal::WriteFaultDue() {
  const int at = GFaultAt.load();
  if (at == 0 || ++GOperations != at) return false;
  GFaultHit = true;
  return true;
}

}  // namespace platform
