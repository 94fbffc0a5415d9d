#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

// A manual-reset event: once set it stays set and releases every wait.
class TEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FSignalled = true;
    }
    FCv.notify_all();
  }
  bool IsSet() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FSignalled;
  }
  // True when the event is set within `timeoutMs` (0: just a look).
  bool Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(FMutex);
    return FCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FSignalled; });
  }

 private:
  mutable std::mutex FMutex;  // guards FSignalled
  std::condition_variable FCv;
  bool FSignalled = false;
};

}  // namespace platform
