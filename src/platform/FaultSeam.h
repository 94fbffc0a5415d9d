#pragma once

// Test seam of the file layer: one chosen write, rename or folder creation
// fails as it would on a full disk, so that tests can check what the service
// leaves behind when the disk fills up at any point of its work. The service
// itself never sets it.

namespace platform {

// Counting from this call, across every thread, the k-th write, rename or
// folder creation fails with "No space left on device"; every other one
// runs as usual. A failed write first writes half of its bytes, as a full
// disk does. 0 switches the fault off.
void SetWriteFaultForTesting(int k);
// True once the fault chosen by the last SetWriteFaultForTesting has struck.
bool WriteFaultHitForTesting();

}  // namespace platform
