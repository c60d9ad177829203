// Which addresses of a host the delivery connects to, and in which order
// ("AddressFamily" in kelpd.cfg). Pure functions; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/IpAddress.h"

namespace kelpd::net {

// kIPv4First (the default): the host's IPv4 address, then its IPv6 address;
// kIPv6First the other way round; kIPv4Only and kIPv6Only one family alone.
enum class AddressOrder { kIPv4First, kIPv4Only, kIPv6Only, kIPv6First };

// "ipv4-first", "ipv4", "ipv6", "ipv6-first", in any case and with blanks
// around them; nothing for any other text.
std::optional<AddressOrder> ParseAddressOrder(const std::string& text);
// The setting's word for order ("ipv4-first", ...).
const char* AddressOrderName(AddressOrder order);

// Of a host's addresses (in the resolver's order), the ones to try in turn:
// the first address of each family the order allows, in the order's
// sequence. With local_family set (the socket is bound to an address of that
// family) only addresses of that family are left.
std::vector<platform::IpAddress> AddressesToTry(const std::vector<platform::IpAddress>& addresses,
                                                AddressOrder order,
                                                std::optional<int> local_family = std::nullopt);

}  // namespace kelpd::net
