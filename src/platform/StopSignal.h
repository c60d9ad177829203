// The stop request of a worker thread as a descriptor, so that every blocking
// wait of the worker (sleeps, socket waits, lock waits, process waits, DNS
// waits) wakes when the owner asks the thread to stop.
//
// A StopSignal is level-triggered: once raised it stays raised until Clear().
// Raise() and IsRaised() may be called from any thread. IsRaised reads a
// flag kept together with the descriptor's state (both change under one
// lock), so that a worker may ask often without a system call.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/UniqueFd.h"

namespace kelpd::platform {

class StopSignal {
 public:
  // eventfd, close-on-exec, non-blocking; throws std::system_error when none
  // can be had (descriptors exhausted).
  StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Raise();
  void Clear();
  bool IsRaised() const;
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::mutex change_;  // held by Raise and Clear
  std::atomic<bool> raised_{false};
};

// A level-triggered wake-up from one thread to others that wait on its
// descriptor with WaitFd (so the waiters still wake on their own stop).
using WakeSignal = StopSignal;

// The stop signal that the calling thread's waits watch; nullptr on threads
// that are not workers (the main and control threads). Set by the worker
// thread entry for its own thread.
StopSignal* CurrentStopSignal();
void SetCurrentStopSignal(StopSignal* signal);

// The process's soft limit of open descriptors (a large number when there is
// none): every worker holds descriptors of its own, so the number of workers
// is bounded by it.
long DescriptorLimit();

enum class WaitResult { kReady, kTimeout, kStopped, kError };

// Waits until fd reports one of events (POLLIN, POLLOUT) or timeout_ms passes
// (-1: no limit), waking early with kStopped when the calling thread's stop
// signal is raised. kError leaves errno set. EINTR is retried with the time left.
WaitResult WaitFd(int fd, short events, int timeout_ms);

// Sleeps timeout_ms, or less when the calling thread's stop signal is raised
// (kStopped). Without a stop signal it is a plain sleep.
WaitResult SleepFor(int timeout_ms);

}  // namespace kelpd::platform
