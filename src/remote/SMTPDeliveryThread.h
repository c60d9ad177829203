// CSMTPDeliveryThread: one of the remote delivery threads. It takes file
// names from the remote agent and delivers each by SMTP.
#pragma once

#include <string>

#include "core/Thread.h"

class CRemoteAgent;

class CSMTPDeliveryThread : public CThread {
 public:
  // agent is not owned and may be null (the thread then ends at once).
  explicit CSMTPDeliveryThread(CRemoteAgent* agent);
  ~CSMTPDeliveryThread() override;

  // Set by the application before Start.
  std::string m_strHeloName;   // "FQDN"
  std::string m_strInterface;  // "Interface"
  int m_nSessionTimeOut = 90;  // "TimeOut", clamped to 60..1200

 protected:
  void Run() override;

 private:
  CRemoteAgent* m_pAgent;
};
