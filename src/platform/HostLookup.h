// Name and address look-ups of the system resolver (getaddrinfo: the hosts
// file, then DNS). Thread-safe (getaddrinfo, getnameinfo and getifaddrs are
// re-entrant).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/IpAddress.h"

namespace kelpd::platform {

// A dotted-quad (or any form inet_aton accepts) as a network-order address.
std::optional<uint32_t> ParseIPv4(const std::string& text);

// The first IPv4 address of host (a literal is never looked up), network order.
std::optional<uint32_t> ResolveIPv4(const std::string& host);

// Every address of host, IPv4 and IPv6, in the resolver's order; an address
// literal (see ParseIpAddress, brackets included) is never looked up.
std::vector<IpAddress> ResolveAll(const std::string& host);

// The canonical name of host (AI_CANONNAME), or nothing when it does not resolve.
std::optional<std::string> CanonicalName(const std::string& host);

// The name of an address (getnameinfo, NI_NAMEREQD), or nothing.
std::optional<std::string> ReverseLookup(const IpAddress& address);

// This machine's host name (gethostname), or nothing when that fails.
std::optional<std::string> HostName();

// The IPv4 and IPv6 addresses of every local interface (getifaddrs).
std::vector<IpAddress> LocalInterfaceAddresses();

// Dotted-quad text of a network-order address.
std::string FormatIPv4(uint32_t ipv4);

}  // namespace kelpd::platform
