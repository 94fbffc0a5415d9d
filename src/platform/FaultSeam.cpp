// The write fault and the recording of the tests, the same on every
// system; the system folder's file operations ask internal::WriteFaultDue
// before they write, rename or create a folder, and tell
// internal::RecordFileChange what they changed.
#include "platform/FaultSeam.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/PlatformInternal.h"

namespace platform {

namespace {
std::atomic<int> GFaultAt{0};     // the operation that fails; 0: none
std::atomic<int> GOperations{0};  // operations counted since the fault was set
std::atomic<bool> GFaultHit{false};

std::atomic<bool> GRecording{false};
std::mutex GRecordMutex;  // guards GRecord
std::vector<TFileOp> GRecord;
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

void StartFileRecordingForTesting() {
  std::lock_guard<std::mutex> lock(GRecordMutex);
  GRecord.clear();
  GRecording = true;
}

std::vector<TFileOp> StopFileRecordingForTesting() {
  std::lock_guard<std::mutex> lock(GRecordMutex);
  GRecording = false;
  return std::exchange(GRecord, {});
}

bool internal::RecordingFiles() {
  return GRecording.load(std::memory_order_relaxed);
}

void internal::RecordFileChange(TFileOp::TKind kind, const std::string& path, std::string_view data,
                                const std::string& target, int64_t size, bool truncate) {
  if (!RecordingFiles()) return;
  TFileOp op;
  op.Kind = kind;
  op.Path = path;
  op.Target = target;
  op.Data = std::string(data);
  op.Size = size;
  op.Truncate = truncate;
  std::lock_guard<std::mutex> lock(GRecordMutex);
  if (GRecording) GRecord.push_back(std::move(op));
}

}  // namespace platform
