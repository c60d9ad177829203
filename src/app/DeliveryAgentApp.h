// CDeliveryAgentApp: the one application object of the process, the service
// "Zelvane Mail Delivery Agent" (short name "Kelpd"). It supplies the
// service's usage text, start-up and stop.
#pragma once

#include "core/Service.h"

class CDeliveryAgentApp : public CService {
 public:
  CDeliveryAgentApp();

  void Usage() override;
  bool OnInit() override;
  void OnStop() override;
};
