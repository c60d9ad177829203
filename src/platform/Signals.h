// Service controls that arrive as signals, taken by one control thread.
//
// The control signals must be blocked in every thread, so that only the
// control thread's sigwait ever sees them: BlockControlSignals is called on
// the main thread before any other thread starts, and every thread started
// later inherits the mask.
#pragma once

#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

namespace kelpd::platform {

enum class ControlSignal {
  kTerminate,  // SIGTERM
  kInterrupt,  // SIGINT
  kQuit,       // SIGQUIT
  kHangup,     // SIGHUP
  kUser1,      // SIGUSR1
  kUser2,      // SIGUSR2
};

// Blocks the signals in the calling thread (and so in every thread it starts
// afterwards). Signals not named keep their course.
void BlockControlSignals(std::initializer_list<ControlSignal> signals);

// Ignores SIGPIPE for the whole process: a write to a closed pipe or socket
// (a log pipe whose reader went away) then fails with EPIPE, which the
// writers handle, instead of ending the process without its stop sequence.
// Children started later get the default action back (posix_spawn resets it).
void IgnoreBrokenPipe();

// One thread that waits for the control signals and hands each to a handler,
// one at a time, on that thread.
class ControlSignalThread {
 public:
  using Handler = std::function<void(ControlSignal)>;

  ControlSignalThread() = default;
  ~ControlSignalThread();  // Stop()
  ControlSignalThread(const ControlSignalThread&) = delete;
  ControlSignalThread& operator=(const ControlSignalThread&) = delete;

  // Starts the thread. The signals must already be blocked (BlockControlSignals).
  bool Start(std::vector<ControlSignal> signals, Handler handler);
  // Ends the thread after the handler in progress (if any) has returned and
  // waits for it. Not to be called from the handler.
  void Stop();

 private:
  std::thread thread_;
};

// The process's standard input is a terminal.
bool StdinIsTerminal();

}  // namespace kelpd::platform
