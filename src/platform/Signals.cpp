#include "platform/Signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace kelpd::platform {

namespace {

int SignalNumber(ControlSignal s) {
  switch (s) {
    case ControlSignal::kTerminate:
      return SIGTERM;
    case ControlSignal::kInterrupt:
      return SIGINT;
    case ControlSignal::kQuit:
      return SIGQUIT;
    case ControlSignal::kHangup:
      return SIGHUP;
    case ControlSignal::kUser1:
      return SIGUSR1;
    case ControlSignal::kUser2:
      return SIGUSR2;
  }
  return 0;
}

// Sent by Stop to the control thread alone to end its wait. Blocked only in
// the control thread (from its creation on), so it can reach nobody else.
int WakeSignal() { return SIGRTMIN + 3; }

}  // namespace

void BlockControlSignals(std::initializer_list<ControlSignal> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (ControlSignal s : signals) sigaddset(&set, SignalNumber(s));
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void IgnoreBrokenPipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
}

ControlSignalThread::~ControlSignalThread() { Stop(); }

bool ControlSignalThread::Start(std::vector<ControlSignal> signals, Handler handler) {
  if (thread_.joinable()) return false;
  sigset_t wait_set;
  sigemptyset(&wait_set);
  for (ControlSignal s : signals) sigaddset(&wait_set, SignalNumber(s));
  sigaddset(&wait_set, WakeSignal());

  // The new thread must hold the wake signal blocked from its first
  // instruction, or an early Stop would end the process.
  sigset_t wake, old;
  sigemptyset(&wake);
  sigaddset(&wake, WakeSignal());
  ::pthread_sigmask(SIG_BLOCK, &wake, &old);
  try {
    thread_ = std::thread([wait_set, signals = std::move(signals), handler = std::move(handler)] {
      for (;;) {
        int sig = 0;
        if (::sigwait(&wait_set, &sig) != 0) continue;
        if (sig == WakeSignal()) return;
        for (ControlSignal s : signals) {
          if (SignalNumber(s) == sig) handler(s);
        }
      }
    });
  } catch (...) {
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return false;
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return true;
}

void ControlSignalThread::Stop() {
  if (!thread_.joinable()) return;
  ::pthread_kill(thread_.native_handle(), WakeSignal());
  thread_.join();
}

bool StdinIsTerminal() { return ::isatty(0) == 1; }

}  // namespace kelpd::platform
