// A named lock held by another process: a forked child takes it and keeps it
// until the test releases it, so that the test sees a holder that is not one
// of its own threads.
#pragma once

#include <sys/types.h>

#include <string>

namespace kelpd::testing {

class ForeignLock {
 public:
  // Forks the holder and waits until it has the lock (or failed to get it
  // within a second).
  explicit ForeignLock(const std::string& name);
  ~ForeignLock();
  ForeignLock(const ForeignLock&) = delete;
  ForeignLock& operator=(const ForeignLock&) = delete;

  // Whether the child took the lock.
  bool held() const { return held_; }
  // Lets the child go and waits until it has ended; true when it ended normally.
  bool Release();

 private:
  pid_t child_ = -1;
  int release_fd_ = -1;
  bool held_ = false;
};

}  // namespace kelpd::testing
