// Name and address look-ups of the system resolver, IPv4 only. Thread-safe
// (getaddrinfo, getnameinfo and getifaddrs are re-entrant).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelpd::platform {

// A dotted-quad (or any form inet_aton accepts) as a network-order address.
std::optional<uint32_t> ParseIPv4(const std::string& text);

// The first IPv4 address of host (a literal is never looked up), network order.
std::optional<uint32_t> ResolveIPv4(const std::string& host);

// Every IPv4 address of host, network order, in the resolver's order.
std::vector<uint32_t> ResolveAllIPv4(const std::string& host);

// The canonical name of host (AI_CANONNAME), or nothing when it does not resolve.
std::optional<std::string> CanonicalName(const std::string& host);

// The name of an address (getnameinfo, NI_NAMEREQD), or nothing.
std::optional<std::string> ReverseLookup(uint32_t ipv4);

// This machine's host name (gethostname), or nothing when that fails.
std::optional<std::string> HostName();

// The IPv4 addresses of every local interface (getifaddrs), network order.
std::vector<uint32_t> LocalInterfaceAddresses();

// Dotted-quad text of a network-order address.
std::string FormatIPv4(uint32_t ipv4);

}  // namespace kelpd::platform
