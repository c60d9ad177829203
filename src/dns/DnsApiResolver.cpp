#include "dns/DnsApiResolver.h"

#include <algorithm>
#include <vector>

#include "base/Text.h"
#include "dns/DnsWire.h"
#include "dns/MxLookup.h"
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
  // An alias answers the MX question with its CNAME record first: the MX
  // records that count are those of the name the chain ends at, whatever
  // other records stand between them.
  std::string owner = domain;
  if (!owner.empty() && owner.back() == '.') owner.pop_back();
  for (int link = 0; link < kelpd::dns::kMaxCnameLinks; ++link) {
    auto alias = std::find_if(records.begin(), records.end(), [&](const SystemDnsRecord& rec) {
      return rec.type == kelpd::dns::kTypeCname && kelpd::text::EqualsNoCase(rec.owner, owner);
    });
    if (alias == records.end()) break;
    owner = alias->name;
    if (!owner.empty() && owner.back() == '.') owner.pop_back();
  }
  std::vector<const SystemDnsRecord*> mx;
  for (const SystemDnsRecord& rec : records) {
    if (rec.type == kelpd::dns::kTypeMx && kelpd::text::EqualsNoCase(rec.owner, owner))
      mx.push_back(&rec);
  }
  // By preference; the answer order is kept within a preference.
  int remaining = static_cast<int>(mx.size());
  unsigned preference = 0xffff;
  for (const SystemDnsRecord* rec : mx) {
    if (rec->preference < preference) preference = rec->preference;
  }
  for (int round = 0; remaining > 0 && round < kMaxRounds; ++round) {
    unsigned next = 0xffff;
    bool has_next = false;
    for (const SystemDnsRecord* rec : mx) {
      if (rec->preference == preference) {
        --remaining;
        if (kelpd::dns::IsUsableMailHost(rec->name, AllowsLoopbackHosts(), address_cache()))
          hosts.AddTail(rec->name);
      } else if (rec->preference > preference && (!has_next || rec->preference < next)) {
        next = rec->preference;
        has_next = true;
      }
    }
    if (!has_next) break;
    preference = next;
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
      if (kelpd::dns::IsUsableMailHost(rec.name, AllowsLoopbackHosts(), address_cache()))
        hosts.AddTail(rec.name);
    }
  }
  if (hosts.IsEmpty()) {
    const bool resolves = address_cache() != nullptr ? !address_cache()->All(domain).empty()
                                                     : !kelpd::platform::ResolveAll(domain).empty();
    if (!resolves) return 1;
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
