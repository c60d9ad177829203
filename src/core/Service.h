// CService: the program as a service of the system's service manager. It
// installs and removes the service's unit, runs the service (status reports,
// control signals) and offers a debug mode in which the same code runs in the
// console. It knows nothing about mail: the application derives from it and
// supplies start-up (OnInit), the run loop (Run) and stop (OnStop).
//
// Threads: the main thread runs Main, OnInit and Run; one control thread
// runs OnStop, OnPause, OnContinue, OnShutdown and OnUserControl. They meet
// only through the four events, so OnStop may run while Run still finishes
// its current pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/Event.h"

class CService {
 public:
  // Service states, as status reports name them (0: report nothing).
  static constexpr int kStopped = 1;
  static constexpr int kStartPending = 2;
  static constexpr int kStopPending = 3;
  static constexpr int kRunning = 4;
  static constexpr int kContinuePending = 5;
  static constexpr int kPausePending = 6;
  static constexpr int kPaused = 7;

  // Control codes; 128..255 are user controls.
  static constexpr int kControlStop = 1;
  static constexpr int kControlPause = 2;
  static constexpr int kControlContinue = 3;
  static constexpr int kControlInterrogate = 4;
  static constexpr int kControlShutdown = 5;
  // The user control of a configuration restart (SIGHUP, "systemctl reload").
  static constexpr int kControlRestart = 129;

  // Accepted-controls flags.
  static constexpr uint32_t kAcceptStop = 1;
  static constexpr uint32_t kAcceptPauseContinue = 2;
  static constexpr uint32_t kAcceptShutdown = 4;

  // Registers the object as the process's one service (Instance()).
  CService(std::string display_name, std::string short_name,
           std::vector<std::string> dependencies = {});
  virtual ~CService();
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;

  // The one service object of the process; nullptr before it is constructed
  // and after it is destroyed.
  static CService* Instance();

  // The program's entry after the crash reporter is installed: keeps the
  // command line and dispatches on its first argument (compared without
  // regard to case): "-install", "-uninstall", "-debug", "-?", anything else
  // runs the service. Returns the process exit code. Call on the main thread
  // before any other thread has started.
  int Main(int argc, char** argv);

  virtual void Usage() {}
  virtual bool OnInit() { return true; }
  // Waits while the run event is set, then 0.
  virtual int Run();
  virtual void OnStop() {}
  virtual void OnPause() {}
  virtual void OnContinue() {}
  virtual void OnShutdown() { OnStop(); }
  virtual void OnUserControl(int code) { (void)code; }
  virtual void OnInstalled() {}
  virtual void OnUninstalled() {}

  // Passes state to the service manager with a wait hint. Does nothing and
  // returns true for state 0, while the status-settled event is set, and in
  // debug mode. False when the report could not be delivered.
  bool ReportStatus(int state, int wait_hint_ms);

  // Runs one control as the control table says (stop, pause, continue,
  // interrogate, shutdown, user controls). Called on the control thread.
  void Control(int code);

  int argc() const { return argc_; }
  char** argv() const { return argv_; }
  bool IsDebug() const { return debug_; }
  const std::string& DisplayName() const { return display_name_; }
  const std::string& ShortName() const { return short_name_; }

  // Set when start-up has succeeded; reset to make Run end.
  kelpd::core::Event& RunEvent() { return run_event_; }
  // Set when OnStop has finished.
  kelpd::core::Event& StoppedEvent() { return stopped_event_; }
  // Set while the service is paused.
  kelpd::core::Event& PauseEvent() { return pause_event_; }
  // While set, ReportStatus passes nothing on.
  kelpd::core::Event& StatusSettledEvent() { return status_settled_event_; }

 protected:
  void SetAcceptedControls(uint32_t controls) { accepted_controls_ = controls; }
  uint32_t AcceptedControls() const { return accepted_controls_; }

 private:
  int Install(const std::string& short_name, const std::string& display_name,
              const std::string& params);
  int Uninstall(const std::string& short_name);
  int RunDebug();
  int RunService();
  void WaitUntilStopped();

  int argc_ = 0;
  char** argv_ = nullptr;
  bool debug_ = false;
  kelpd::core::Event run_event_;
  kelpd::core::Event stopped_event_;
  kelpd::core::Event pause_event_;
  kelpd::core::Event status_settled_event_;
  std::atomic<int> current_state_{kStopped};  // the last state passed on
  std::atomic<uint32_t> accepted_controls_{kAcceptStop};
  // Set once a stop or shutdown has begun: later stop, pause and continue
  // signals are not passed on, as the service manager would refuse them.
  std::atomic<bool> stopping_{false};
  std::string display_name_;
  std::string short_name_;
  std::vector<std::string> dependencies_;
};
