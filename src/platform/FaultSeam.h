#pragma once

// Test seams of the file layer. One chosen write, rename or folder creation
// fails as it would on a full disk, so that tests can check what the service
// leaves behind when the disk fills up at any point of its work. And every
// change the file layer makes to the disk can be recorded, with its data, so
// that tests can rebuild each state a power loss could leave behind. The
// service itself never sets either.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Counting from this call, across every thread, the k-th write, rename or
// folder creation fails with "No space left on device"; every other one
// runs as usual. A failed write first writes half of its bytes, as a full
// disk does. 0 switches the fault off.
void SetWriteFaultForTesting(int k);
// True once the fault chosen by the last SetWriteFaultForTesting has struck.
bool WriteFaultHitForTesting();

// One change made to the disk, as the file layer made it (successful calls
// only). Paths are those the caller gave.
struct TFileOp {
  enum class TKind {
    create,        // a file opened for writing, created when missing (emptied with Truncate)
    write,         // Data added at the end of the file
    truncate,      // the file cut to Size bytes
    flush,         // the file's content flushed to disk
    flush_folder,  // the folder's entries flushed to disk
    rename,        // Path given the name Target, replacing a file of that name
    remove,        // the name removed
    make_folder,   // a folder created
  };
  TKind Kind = TKind::create;
  std::string Path;
  std::string Target;
  std::string Data;
  int64_t Size = 0;
  bool Truncate = false;
};
// Starts recording every change, from every thread, dropping an earlier record.
void StartFileRecordingForTesting();
// Stops recording and returns the changes in the order they were made.
std::vector<TFileOp> StopFileRecordingForTesting();

}  // namespace platform
