// CDnsApiResolver: MX lookups through the system resolver library, which
// reads /etc/resolv.conf. The MX hosts are those of the name the answer's
// alias (CNAME) chain ends at, by preference. Results are 0, 1 (no MX, no
// alias and the domain itself does not resolve) or the status of the failed
// query (9000 + the response code, 1460 when no server answered). Use on one
// thread only.
#pragma once

#include <memory>

#include "dns/Resolver.h"
#include "platform/SystemResolver.h"

class CDnsApiResolver : public CResolver {
 public:
  CDnsApiResolver() = default;
  ~CDnsApiResolver() override = default;
  CDnsApiResolver(const CDnsApiResolver&) = delete;
  CDnsApiResolver& operator=(const CDnsApiResolver&) = delete;

  // False when the system resolver cannot be initialised.
  bool Init() override;
  int GetMXHosts(const char* domain, CStringListEx& hosts) override;
  int GetTXTRecords(const char* domain, CStringListEx& texts) override;

 private:
  // The system resolver, none until Init.
  std::unique_ptr<kelpd::platform::SystemResolver> m_hDnsApi;
};
