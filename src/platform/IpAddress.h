// IPv4 and IPv6 addresses of the socket layer: one value type for both
// families, its text forms and the socket address (address and port) the
// socket calls take. Pure values and functions; thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace kelpd::platform {

constexpr int kAddressFamilyIPv4 = 2;   // AF_INET
constexpr int kAddressFamilyIPv6 = 10;  // AF_INET6

struct IpAddress {
  // Not an aggregate, so that a brace list of an IPv4 number and a port
  // never reads as a SocketAddress.
  IpAddress() = default;

  int family = kAddressFamilyIPv4;
  // IPv4: the four bytes in bytes[0..3], network order; IPv6: all sixteen.
  std::array<uint8_t, 16> bytes{};

  static IpAddress V4(uint32_t network_order);
  bool IsV6() const { return family == kAddressFamilyIPv6; }
  // The IPv4 address in network order (0 for an IPv6 address).
  uint32_t ipv4() const;
  // An IPv6 address of the form ::ffff:a.b.c.d as that IPv4 address; any
  // other address as it is.
  IpAddress Unmapped() const;
  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

struct SocketAddress {
  IpAddress ip;
  uint16_t port = 0;  // host byte order
};

// An address literal: IPv4 in any form inet_aton takes, IPv6 as inet_pton
// takes it (no zone index), either of them optionally in square brackets, and
// "[IPv6:...]" as mail address literals write it. Nothing is looked up.
std::optional<IpAddress> ParseIpAddress(const std::string& text);

// Dotted quad, or the shortest IPv6 form ("2001:db8::1").
std::string FormatIpAddress(const IpAddress& address);
// As log lines and host entries show an address: an IPv6 address in square
// brackets ("[2001:db8::1]"), an IPv4 address as a dotted quad.
std::string FormatAddressLiteral(const IpAddress& address);

}  // namespace kelpd::platform
