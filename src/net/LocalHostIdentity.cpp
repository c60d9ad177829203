#include "net/LocalHostIdentity.h"

#include <optional>

#include "platform/HostLookup.h"

namespace platform = kelpd::platform;

void GetLocalHostIdentity(std::string& address, std::string& name) {
  const std::optional<std::string> host = platform::HostName();
  if (!host || host->empty()) {
    name = "unknown";
    address = "0.0.0.0";
    return;
  }
  const std::optional<std::string> canonical = platform::CanonicalName(*host);
  if (!canonical) {
    name = *host;
    address = "0.0.0.0";
    return;
  }
  name = canonical->empty() ? *host : *canonical;
  const std::optional<uint32_t> ipv4 = platform::ResolveIPv4(*host);
  address = ipv4 ? platform::FormatIPv4(*ipv4) : std::string("0.0.0.0");
}
