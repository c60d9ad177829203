#include "dns/Resolver.h"

#include <array>
#include <cstring>

#include "dns/DnsApiResolver.h"
#include "dns/StubResolver.h"
#include "net/AddressOrder.h"
#include "platform/HostLookup.h"

namespace kelpd::dns {

const std::vector<platform::IpAddress>& AddressCache::All(const std::string& host) {
  auto it = kept_.find(host);
  if (it == kept_.end()) it = kept_.emplace(host, platform::ResolveAll(host)).first;
  return it->second;
}

const std::vector<platform::IpAddress>* AddressCache::Find(const std::string& host) const {
  auto it = kept_.find(host);
  return it == kept_.end() ? nullptr : &it->second;
}

std::vector<platform::IpAddress> MailHostAddresses(const std::string& host, AddressCache* cache) {
  std::string bare = host;
  if (!bare.empty() && bare.back() == '.') bare.pop_back();
  if (std::optional<platform::IpAddress> literal = platform::ParseIpAddress(bare))
    return {*literal};
  return net::AddressesToTry(cache != nullptr ? cache->All(host) : platform::ResolveAll(host),
                             net::AddressOrder::kIPv4First);
}

bool IsThisHostAddress(const platform::IpAddress& address) {
  const platform::IpAddress a = address.Unmapped();
  if (!a.IsV6()) return a.bytes[0] == 127 || a.bytes[0] == 0;
  static constexpr std::array<uint8_t, 16> kAny{};
  static constexpr std::array<uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
  return a.bytes == kAny || a.bytes == kLoopback;
}

bool IsUsableMailHost(const std::string& host, bool allow_loopback, AddressCache* cache) {
  static const platform::IpAddress kLoopback = *platform::ParseIpAddress("127.0.0.1");
  const std::vector<platform::IpAddress> addresses = MailHostAddresses(host, cache);
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
