#include "platform/HostLookup.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace kelpd::platform {

std::optional<uint32_t> ParseIPv4(const std::string& text) {
  struct in_addr a {};
  if (::inet_aton(text.c_str(), &a) == 0) return std::nullopt;
  return a.s_addr;
}

std::vector<IpAddress> ResolveAll(const std::string& host) {
  std::vector<IpAddress> out;
  if (std::optional<IpAddress> literal = ParseIpAddress(host)) {
    out.push_back(*literal);
    return out;
  }
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* result = nullptr;
  if (host.empty() || host.find('\0') != std::string::npos ||
      ::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0)
    return out;
  for (struct addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addr == nullptr) continue;
    IpAddress a;
    if (ai->ai_family == AF_INET) {
      a = IpAddress::V4(reinterpret_cast<struct sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
    } else if (ai->ai_family == AF_INET6) {
      a.family = kAddressFamilyIPv6;
      std::memcpy(a.bytes.data(), &reinterpret_cast<struct sockaddr_in6*>(ai->ai_addr)->sin6_addr,
                  a.bytes.size());
    } else {
      continue;
    }
    bool seen = false;
    for (const IpAddress& b : out) seen = seen || a == b;
    if (!seen) out.push_back(a);
  }
  ::freeaddrinfo(result);
  return out;
}

std::optional<uint32_t> ResolveIPv4(const std::string& host) {
  for (const IpAddress& a : ResolveAll(host))
    if (!a.IsV6()) return a.ipv4();
  return std::nullopt;
}

std::optional<std::string> CanonicalName(const std::string& host) {
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  struct addrinfo* result = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0)
    return std::nullopt;
  std::optional<std::string> name;
  if (result != nullptr && result->ai_canonname != nullptr) name = result->ai_canonname;
  ::freeaddrinfo(result);
  return name;
}

std::optional<std::string> ReverseLookup(const IpAddress& address) {
  struct sockaddr_storage storage {};
  socklen_t len = 0;
  if (address.IsV6()) {
    auto* sa = reinterpret_cast<struct sockaddr_in6*>(&storage);
    sa->sin6_family = AF_INET6;
    std::memcpy(&sa->sin6_addr, address.bytes.data(), sizeof sa->sin6_addr);
    len = sizeof *sa;
  } else {
    auto* sa = reinterpret_cast<struct sockaddr_in*>(&storage);
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = address.ipv4();
    len = sizeof *sa;
  }
  char host[NI_MAXHOST];
  if (::getnameinfo(reinterpret_cast<struct sockaddr*>(&storage), len, host, sizeof host, nullptr,
                    0, NI_NAMEREQD) != 0)
    return std::nullopt;
  return std::string(host);
}

std::optional<std::string> HostName() {
  char buf[256];
  if (::gethostname(buf, sizeof buf) != 0) return std::nullopt;
  buf[sizeof buf - 1] = '\0';
  return std::string(buf);
}

std::vector<IpAddress> LocalInterfaceAddresses() {
  std::vector<IpAddress> out;
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (struct ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr) continue;
    if (i->ifa_addr->sa_family == AF_INET) {
      out.push_back(
          IpAddress::V4(reinterpret_cast<struct sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr));
    } else if (i->ifa_addr->sa_family == AF_INET6) {
      IpAddress a;
      a.family = kAddressFamilyIPv6;
      std::memcpy(a.bytes.data(), &reinterpret_cast<struct sockaddr_in6*>(i->ifa_addr)->sin6_addr,
                  a.bytes.size());
      out.push_back(a);
    }
  }
  ::freeifaddrs(list);
  return out;
}

std::string FormatIPv4(uint32_t ipv4) {
  struct in_addr a {};
  a.s_addr = ipv4;
  char buf[INET_ADDRSTRLEN];
  if (::inet_ntop(AF_INET, &a, buf, sizeof buf) == nullptr) return "0.0.0.0";
  return buf;
}

}  // namespace kelpd::platform
