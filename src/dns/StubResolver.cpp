#include "dns/StubResolver.h"

#include "dns/DnsQuery.h"
#include "dns/DnsWire.h"
#include "dns/MxLookup.h"
#include "dns/ResolverState.h"

using namespace kelpd::dns;

CStubResolver::CStubResolver() { res_init(); }

CStubResolver::~CStubResolver() { res_cleanup(); }

int CStubResolver::GetMXHosts(const char* domain, CStringListEx& hosts) {
  char* mx_hosts[kMaxMxEntries + 1] = {};
  int result_code = 0;
  int count = getmxrr(domain, mx_hosts, false, &result_code);
  if (count < 0) return result_code != 0 ? result_code : EX_OSERR;
  for (int i = 0; i < count; ++i) {
    if (IsUsableMailHost(mx_hosts[i], AllowsLoopbackHosts(), address_cache()))
      hosts.AddTail(mx_hosts[i]);
  }
  return 0;
}

int CStubResolver::GetTXTRecords(const char* domain, CStringListEx& texts) {
  uint8_t answer[kMaxPacket];
  int n = res_search(domain, kClassIn, kTypeTxt, answer, sizeof answer);
  if (n < 0) {
    ResolverState* st = CurrentResolverState();
    int err = st != nullptr ? st->host_error : 0;
    if (err == WSAHOST_NOT_FOUND) return EX_NOHOST;
    if (err == WSATRY_AGAIN) return EX_TEMPFAIL;
    if (err == WSANO_DATA) return 0;
    return EX_OSERR;
  }
  DnsReader r(answer, static_cast<size_t>(n));
  r.SkipQuestions(HeaderQdcount(answer));
  int records = HeaderAncount(answer);
  while (--records >= 0 && !r.AtEnd()) {
    r.SkipName();
    RecordHeader h = ReadRecordHeader(r);
    if (!r.ok()) break;
    if (h.type == kTypeTxt) {
      DnsReader data(answer, h.rdata + h.rdlength);
      data.Seek(h.rdata);
      while (data.ok() && !data.AtEnd()) {
        size_t len = data.U8();
        size_t at = data.pos();
        data.Skip(len);
        if (!data.ok()) break;  // a string longer than its record
        texts.AddTail(Printable(std::string(reinterpret_cast<const char*>(answer) + at, len)));
      }
    }
    r.Seek(h.rdata + h.rdlength);
  }
  return 0;
}
