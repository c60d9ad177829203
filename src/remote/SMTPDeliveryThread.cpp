#include "remote/SMTPDeliveryThread.h"

#include "log/Log.h"

namespace {
constexpr char kSource[] = "Kelpd\\SMTPDeliveryThread";
}

CSMTPDeliveryThread::CSMTPDeliveryThread(CRemoteAgent* agent) : m_pAgent(agent) {}
CSMTPDeliveryThread::~CSMTPDeliveryThread() = default;

void CSMTPDeliveryThread::Run() {
  if (m_pAgent == nullptr) {
    Error(MainLog(), "RemoteAgent-pointer was NULL at %s:%d", kSource, 34);
    return;
  }
  Info(MainLog(), "remote delivery thread (id %04X) started", GetThreadId());
  // XXX: delivery of outgoing files is not built yet; the thread idles.
  while (IsRunning()) Sleep(750);
  Info(MainLog(), "remote delivery thread (id %04X) stopped", GetThreadId());
}
