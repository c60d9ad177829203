// CLocalAgent: the one worker thread that drains the queue directory.
// Owned by the application; started after the directory data is loaded and
// stopped at shutdown or restart.
#pragma once

#include "core/Thread.h"

class CLocalAgent : public CThread {
 public:
  CLocalAgent();
  ~CLocalAgent() override;

 protected:
  void Run() override;
};
