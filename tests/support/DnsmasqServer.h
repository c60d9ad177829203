// dnsmasq as the DNS server of a test: serves the zone lines it is given
// (dnsmasq configuration such as "mx-host=..." and "host-record=...") for
// "test.example" and "kelpd.test" names on port 53 of a free loopback
// address, and nothing else. Skips nothing itself: ready() tells whether it
// runs (dnsmasq is installed and the port could be had).
#pragma once

#include <string>

#include "support/PeerProcess.h"
#include "support/TempDir.h"

namespace kelpd::testing {

class DnsmasqServer {
 public:
  // The server's files go into dir, which must outlive it.
  DnsmasqServer(const TempDir& dir, const std::string& zone);
  bool ready() const { return ready_; }
  // The loopback address it listens on ("127.0.0.53").
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  PeerProcess process_;
  bool ready_ = false;
};

}  // namespace kelpd::testing
