#include "platform/IpAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstring>

namespace kelpd::platform {

static_assert(kAddressFamilyIPv4 == AF_INET && kAddressFamilyIPv6 == AF_INET6);

IpAddress IpAddress::V4(uint32_t network_order) {
  IpAddress a;
  std::memcpy(a.bytes.data(), &network_order, 4);
  return a;
}

uint32_t IpAddress::ipv4() const {
  if (IsV6()) return 0;
  uint32_t v = 0;
  std::memcpy(&v, bytes.data(), 4);
  return v;
}

IpAddress IpAddress::Unmapped() const {
  static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!IsV6() || std::memcmp(bytes.data(), kMappedPrefix, sizeof kMappedPrefix) != 0) return *this;
  IpAddress a;
  std::memcpy(a.bytes.data(), bytes.data() + 12, 4);
  return a;
}

std::optional<IpAddress> ParseIpAddress(const std::string& text) {
  std::string bare = text;
  bool tagged = false;  // "[IPv6:...]": nothing but IPv6 may follow
  if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') {
    bare = bare.substr(1, bare.size() - 2);
    tagged = bare.size() > 5 && strncasecmp(bare.c_str(), "IPv6:", 5) == 0;
    if (tagged) bare.erase(0, 5);
  }
  // inet_aton and inet_pton stop at a zero byte; a text with one inside is no
  // address at all.
  if (bare.empty() || bare.find('\0') != std::string::npos) return std::nullopt;
  if (bare.find(':') == std::string::npos) {
    if (tagged) return std::nullopt;
    struct in_addr a4 {};
    if (::inet_aton(bare.c_str(), &a4) == 0) return std::nullopt;
    return IpAddress::V4(a4.s_addr);
  }
  struct in6_addr a6 {};
  if (::inet_pton(AF_INET6, bare.c_str(), &a6) != 1) return std::nullopt;
  IpAddress a;
  a.family = kAddressFamilyIPv6;
  std::memcpy(a.bytes.data(), &a6, sizeof a6);
  return a;
}

std::string FormatIpAddress(const IpAddress& address) {
  char buf[INET6_ADDRSTRLEN];
  const int family = address.IsV6() ? AF_INET6 : AF_INET;
  if (::inet_ntop(family, address.bytes.data(), buf, sizeof buf) == nullptr)
    return address.IsV6() ? "::" : "0.0.0.0";
  return buf;
}

std::string FormatAddressLiteral(const IpAddress& address) {
  return address.IsV6() ? "[" + FormatIpAddress(address) + "]" : FormatIpAddress(address);
}

}  // namespace kelpd::platform
