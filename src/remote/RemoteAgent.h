// CRemoteAgent: the one worker thread that owns the schedule of the outgoing
// directory and hands file names to the remote delivery threads.
#pragma once

#include "core/Thread.h"

class CRemoteAgent : public CThread {
 public:
  CRemoteAgent();
  ~CRemoteAgent() override;

 protected:
  void Run() override;
};
