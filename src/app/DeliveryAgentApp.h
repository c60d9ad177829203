// CDeliveryAgentApp: the one application object of the process, the service
// "Zelvane Mail Delivery Agent" (short name "Kelpd"). It loads the
// configuration and the directory data, owns the worker threads (one local
// delivery agent and, with "AutoTransport" on, one remote agent and its
// delivery threads), watches the lists while it runs, and restarts with a
// fresh configuration on the user control 129.
//
// Threads: OnInit and Run run on the main thread; OnStop and OnUserControl
// on the one control thread. The workers are started and stopped only by
// OnInit (before the control thread takes controls), OnStop and
// OnUserControl, so those never race each other. The run loop and a restart
// may reload the same lists at once; each list's own lock keeps every load
// whole.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Service.h"
#include "platform/PidFile.h"

class CThread;
class CLocalAgent;
class CRemoteAgent;
class CSMTPDeliveryThread;

class CDeliveryAgentApp : public CService {
 public:
  CDeliveryAgentApp();
  // Disposes of every worker object that still exists (without a stop
  // sequence of its own), then removes the process-id file.
  ~CDeliveryAgentApp() override;

  void Usage() override;
  bool OnInit() override;
  int Run() override;
  void OnStop() override;
  void OnUserControl(int code) override;

  // Each logs what it did; state is the service state reported while a stop
  // waits (0: none, as in a restart).
  bool StartLocalAgent();
  bool StopLocalAgent(int state);
  bool StartRemoteAgent();
  bool StopRemoteAgent(int state);
  bool StartDeliveryThreads();
  bool StopDeliveryThreads(int state);

  // The name given with "-c", or "kelpd.cfg".
  const std::string& ConfigFileName() const { return config_file_name_; }

 private:
  // The five directory checks, logged; false when one of the four fatal ones
  // failed. Unless every, the checks end at the first failure.
  bool CheckDirectories(bool every);
  // Syslog targets from the configuration (outside debug mode): the local
  // syslog socket unless a log host is set.
  void ConfigureLogging();
  // Stops one worker: 1 s to end on its own, then up to 120 polls of 500 ms
  // with a status report each, then it is given up. what names it in the
  // log lines ("local delivery agent", "remote delivery thread 2"). With
  // keep_object the object is never destroyed. True when it was given up.
  bool StopWorker(std::unique_ptr<CThread> worker, const std::string& what, int state,
                  bool keep_object);
  // Sleeps up to ms, in short steps, ending early when the run event is reset.
  void SleepWhileRunning(int ms);

  std::string config_file_name_ = "kelpd.cfg";
  kelpd::platform::PidFile pid_file_;
  std::unique_ptr<CLocalAgent> local_agent_;
  std::unique_ptr<CRemoteAgent> remote_agent_;
  // The delivery threads; an entry is null when its construction failed.
  // have_threads_ tells whether the array exists at all.
  std::vector<std::unique_ptr<CSMTPDeliveryThread>> delivery_threads_;
  int delivery_thread_count_ = 0;
  bool have_threads_ = false;
  // A delivery thread was given up and may still run with its agent.
  bool threads_given_up_ = false;
};
