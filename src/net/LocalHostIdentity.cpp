#include "net/LocalHostIdentity.h"

#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/DnsTransport.h"
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

namespace kelpd::net {

namespace {

constexpr int64_t kHelloNameKeptMs = 3'600'000;

std::string SystemHelloName(const platform::IpAddress& local) {
  if (std::optional<std::string> name = platform::ReverseLookup(local)) return *name;
  if (std::optional<std::string> name = platform::HostName()) return *name;
  return "localhost";
}

struct KeptName {
  std::string name;
  int64_t until_ms = 0;
};

struct HelloNames {
  std::mutex mutex;
  // guarded by mutex:
  std::function<std::string(const platform::IpAddress&)> lookup = SystemHelloName;
  std::map<std::pair<int, std::array<uint8_t, 16>>, KeptName> kept;
};

HelloNames& Names() {
  static HelloNames* names = new HelloNames;  // threads may still ask while the process exits
  return *names;
}

}  // namespace

std::string HelloNameFor(const platform::IpAddress& local) {
  HelloNames& names = Names();
  const auto key = std::make_pair(local.family, local.bytes);
  std::function<std::string(const platform::IpAddress&)> lookup;
  {
    std::lock_guard<std::mutex> lock(names.mutex);
    auto it = names.kept.find(key);
    if (it != names.kept.end() && platform::MonotonicMillis() < it->second.until_ms)
      return it->second.name;
    lookup = names.lookup;
  }
  // Looked up without the lock: threads that ask at the same time may each
  // look up, and the last answer is kept.
  std::string name = lookup(local);
  std::lock_guard<std::mutex> lock(names.mutex);
  names.kept[key] = KeptName{name, platform::MonotonicMillis() + kHelloNameKeptMs};
  return name;
}

void SetHelloNameLookupForTests(std::function<std::string(const platform::IpAddress&)> lookup) {
  HelloNames& names = Names();
  std::lock_guard<std::mutex> lock(names.mutex);
  names.lookup = lookup ? std::move(lookup) : SystemHelloName;
  names.kept.clear();
}

}  // namespace kelpd::net
