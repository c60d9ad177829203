#include "remote/RemoteAgent.h"

#include "log/Log.h"

CRemoteAgent::CRemoteAgent() = default;
CRemoteAgent::~CRemoteAgent() = default;

void CRemoteAgent::Run() {
  Info(MainLog(), "remote delivery agent (id %04X) started", GetThreadId());
  // XXX: the outgoing directory scan is not built yet; the agent idles.
  while (IsRunning()) Sleep(1000);
  Info(MainLog(), "remote delivery agent (id %04X) stopped", GetThreadId());
}
