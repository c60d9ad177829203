// CThread: the base of every worker thread. It wraps one system thread, the
// started and stopped events through which other threads see whether the
// worker runs, and the worker's stop signal, which every blocking wait of the
// worker watches (platform::WaitFd, platform::SleepFor, Sleep below).
//
// Start, Stop and Terminate are called by the owning thread only; IsRunning
// and IsStopped by any thread. The state the system thread needs after its
// body returns lives in a block shared with it, so an object may be destroyed
// as soon as Stop has returned true. A thread that Terminate gave up on may
// still run its body: its owner hands the object to Dispose, never to delete.
//
// A subclass implements Run as a loop that continues while IsRunning(), and
// RequestStop to interrupt any wait that does not watch the stop signal.
#pragma once

#include <cstdint>
#include <memory>

class CThread {
 public:
  CThread();
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Starts the system thread. False when one runs already, or it could not be
  // created (logged).
  bool Start();
  // Asks the thread to stop and waits for its end, at most timeout_ms (a
  // negative time waits without limit). True when it ended within the time,
  // also when it had ended before the call; false (logged) when the time ran
  // out, and at once for an object that was never started.
  bool Stop(int timeout_ms);
  // The last resort for a thread that ignores stop requests: raises its stop
  // signal, marks it stopped and lets go of it. The system thread is not
  // killed (nothing it holds could be released safely); it ends at its next
  // wait or IsRunning() check. False for an object that has no thread.
  bool Terminate(uint32_t exit_code);
  bool IsStopped() const;
  // Started, no stop requested, not stopped.
  bool IsRunning() const;
  // The kernel thread id of the running thread (as logged with "%04X"); 0
  // when not running.
  uint32_t GetThreadId() const;
  // True when no system thread is executing the object's code any more (never
  // started, or its body has returned).
  bool HasEnded() const;
  // The exit code given to Terminate; 0 otherwise.
  uint32_t GetExitCode() const;

  // Destroys thread once its system thread has left its code; a thread that
  // Terminate gave up on and that still runs is kept alive until the process
  // exits instead, so that it never touches a destroyed object.
  static void Dispose(std::unique_ptr<CThread> thread);

 protected:
  // The body; does nothing in the base.
  virtual void Run() {}
  // Wakes the body so that it notices the stop; does nothing in the base.
  virtual void RequestStop() {}
  // Sleeps ms milliseconds on the worker's own thread, or less when a stop is
  // requested. True when the whole time passed.
  bool Sleep(int ms);

 private:
  struct Shared;
  static void Entry(std::shared_ptr<Shared> shared, CThread* self);

  std::shared_ptr<Shared> shared_;
};

namespace kelpd::core {

// Each thread's own random generator, seeded once by the thread entry of a
// worker (other threads seed it on first use). Thread-safe: per thread.
void SeedThreadRandom(uint32_t seed);
// The next number, 0 .. 0x7FFF, as the C library's rand() gives.
int ThreadRandom();

}  // namespace kelpd::core
