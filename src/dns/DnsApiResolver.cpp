#include "dns/DnsApiResolver.h"

#include <vector>

#include "dns/DnsWire.h"
#include "log/Log.h"
#include "platform/HostLookup.h"

namespace {

constexpr char kSource[] = "Common\\Resolver";
constexpr int kMaxRounds = 100;

using kelpd::platform::SystemDnsRecord;

bool Failed(int status) {
  return status != kelpd::platform::kSystemDnsSuccess &&
         status != kelpd::platform::kSystemDnsNoRecords;
}

}  // namespace

bool CDnsApiResolver::Init() {
  if (m_hDnsApi) return true;
  auto resolver = std::make_unique<kelpd::platform::SystemResolver>();
  if (!resolver->Init()) return false;
  m_hDnsApi = std::move(resolver);
  return true;
}

int CDnsApiResolver::GetMXHosts(const char* domain, CStringListEx& hosts) {
  if (!m_hDnsApi) return kelpd::platform::kSystemDnsTimeout;
  std::vector<SystemDnsRecord> records;
  int status = m_hDnsApi->Query(domain, kelpd::dns::kTypeMx, &records);
  if (Failed(status)) {
    Error(MainLog(), "DnsQuery failed at %s:%d with code %d", kSource, 201, status);
    return status;
  }
  // The leading run of MX records; the answer order is kept within a preference.
  size_t run = 0;
  while (run < records.size() && records[run].type == kelpd::dns::kTypeMx) ++run;
  int remaining = static_cast<int>(run);
  unsigned preference = 0xffff;
  for (size_t i = 0; i < run; ++i) {
    if (records[i].preference < preference) preference = records[i].preference;
  }
  for (int round = 0; remaining > 0 && round < kMaxRounds; ++round) {
    unsigned next = 0xffff;
    bool has_next = false;
    for (size_t i = 0; i < run; ++i) {
      const SystemDnsRecord& rec = records[i];
      if (rec.preference == preference) {
        if (kelpd::dns::IsUsableMailHost(rec.name)) {
          hosts.AddTail(rec.name);
          --remaining;
        }
      } else if (rec.preference > preference && (!has_next || rec.preference < next)) {
        next = rec.preference;
        has_next = true;
      }
    }
    preference = has_next ? next : 0xffff;
  }

  if (hosts.IsEmpty()) {
    records.clear();
    status = m_hDnsApi->Query(domain, kelpd::dns::kTypeCname, &records);
    if (Failed(status)) {
      Error(MainLog(), "DnsQuery failed at %s:%d with code %d", kSource, 262, status);
      return status;
    }
    for (const SystemDnsRecord& rec : records) {
      if (rec.type != kelpd::dns::kTypeCname) break;
      if (kelpd::dns::IsUsableMailHost(rec.name)) hosts.AddTail(rec.name);
    }
  }
  if (hosts.IsEmpty()) {
    if (!kelpd::platform::ResolveIPv4(domain)) return 1;
    hosts.AddTail(domain);
  }
  return 0;
}

int CDnsApiResolver::GetTXTRecords(const char* domain, CStringListEx& texts) {
  if (!m_hDnsApi) return kelpd::platform::kSystemDnsTimeout;
  std::vector<SystemDnsRecord> records;
  int status = m_hDnsApi->Query(domain, kelpd::dns::kTypeTxt, &records);
  if (Failed(status)) return status;
  for (const SystemDnsRecord& rec : records) {
    if (rec.type != kelpd::dns::kTypeTxt) continue;
    for (const std::string& t : rec.texts) texts.AddTail(t);
  }
  return 0;
}
