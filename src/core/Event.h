// A manual-reset event: a flag that threads can set, reset and wait for.
// Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kelpd::core {

class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
    }
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
  }
  bool IsSet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }
  // Waits until set; true when set, false when timeout_ms passed first
  // (timeout_ms < 0 waits without limit).
  bool Wait(int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeout_ms < 0) {
      cv_.wait(lock, [this] { return set_; });
      return true;
    }
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return set_; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool set_ = false;  // guarded by mutex_
};

}  // namespace kelpd::core
