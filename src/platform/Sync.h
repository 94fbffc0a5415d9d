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
      std::lock_guard<std::mutex> lock(mutex_);
      signalled_ = true;
    }
    cv_.notify_all();
  }
  bool IsSet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return signalled_;
  }
  // True when the event is set within `timeoutMs` (0: just a look).
  bool Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; });
  }

 private:
  mutable std::mutex mutex_;  // guards signalled_
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace platform
