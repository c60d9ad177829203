#include "local/LocalAgent.h"

#include "log/Log.h"

CLocalAgent::CLocalAgent() = default;
CLocalAgent::~CLocalAgent() = default;

void CLocalAgent::Run() {
  Info(MainLog(), "local delivery agent (id %04X) started", GetThreadId());
  // XXX: the queue scan and delivery are not built yet; the agent idles.
  while (IsRunning()) Sleep(1000);
  Info(MainLog(), "local delivery agent (id %04X) stopped", GetThreadId());
}
