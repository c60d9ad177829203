#include "dns/Resolver.h"

#include <array>
#include <cstring>

#include "dns/DnsApiResolver.h"
#include "dns/StubResolver.h"
#include "net/AddressOrder.h"
#include "platform/HostLookup.h"

namespace kelpd::dns {

std::vector<platform::IpAddress> MailHostAddresses(const std::string& host) {
  std::string bare = host;
  if (!bare.empty() && bare.back() == '.') bare.pop_back();
  if (std::optional<platform::IpAddress> literal = platform::ParseIpAddress(bare))
    return {*literal};
  return net::AddressesToTry(platform::ResolveAll(host), net::AddressOrder::kIPv4First);
}

bool IsThisHostAddress(const platform::IpAddress& address) {
  const platform::IpAddress a = address.Unmapped();
  if (!a.IsV6()) return a.bytes[0] == 127 || a.bytes[0] == 0;
  static constexpr std::array<uint8_t, 16> kAny{};
  static constexpr std::array<uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
  return a.bytes == kAny || a.bytes == kLoopback;
}

bool IsUsableMailHost(const std::string& host, bool allow_loopback) {
  static const platform::IpAddress kLoopback = *platform::ParseIpAddress("127.0.0.1");
  const std::vector<platform::IpAddress> addresses = MailHostAddresses(host);
  if (addresses.empty()) return false;
  for (const platform::IpAddress& a : addresses) {
    if (a.Unmapped() == kLoopback) return false;
    if (!allow_loopback && IsThisHostAddress(a)) return false;
  }
  return true;
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
