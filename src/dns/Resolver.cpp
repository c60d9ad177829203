#include "dns/Resolver.h"

#include <cstring>

#include "dns/DnsApiResolver.h"
#include "dns/StubResolver.h"
#include "platform/HostLookup.h"

namespace kelpd::dns {

std::optional<uint32_t> MailHostAddress(const std::string& host) {
  std::string bare = host;
  if (!bare.empty() && bare.back() == '.') bare.pop_back();
  if (std::optional<uint32_t> literal = platform::ParseIPv4(bare)) return literal;
  return platform::ResolveIPv4(host);
}

bool IsThisHostAddress(uint32_t ipv4) {
  unsigned char octets[4];
  std::memcpy(octets, &ipv4, sizeof octets);  // network order: the first octet first
  return octets[0] == 127 || octets[0] == 0;
}

bool IsUsableMailHost(const std::string& host, bool allow_loopback) {
  static const uint32_t kLoopback = *platform::ParseIPv4("127.0.0.1");
  std::optional<uint32_t> address = MailHostAddress(host);
  if (!address || *address == kLoopback) return false;
  return allow_loopback || !IsThisHostAddress(*address);
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
