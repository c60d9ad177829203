#include "dns/Resolver.h"

#include "dns/DnsApiResolver.h"
#include "dns/StubResolver.h"
#include "platform/HostLookup.h"

namespace kelpd::dns {

bool IsUsableMailHost(const std::string& host) {
  static const uint32_t kLoopback = *platform::ParseIPv4("127.0.0.1");
  std::optional<uint32_t> address = platform::ResolveIPv4(host);
  return address && *address != kLoopback;
}

}  // namespace kelpd::dns

std::unique_ptr<CResolver> CreateResolver() {
  auto system = std::make_unique<CDnsApiResolver>();
  if (system->Init()) return system;
  system.reset();
  auto stub = std::make_unique<CStubResolver>();
  if (stub->Init()) return stub;
  return nullptr;
}
