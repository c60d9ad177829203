#include "platform/SystemResolver.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <cstring>

namespace kelpd::platform {

struct SystemResolver::Impl {
  struct __res_state state;
  bool initialised = false;
};

SystemResolver::SystemResolver() : impl_(std::make_unique<Impl>()) {
  std::memset(&impl_->state, 0, sizeof impl_->state);
}

SystemResolver::~SystemResolver() {
  if (impl_->initialised) ::res_nclose(&impl_->state);
}

bool SystemResolver::Init() {
  if (impl_->initialised) return true;
  if (::res_ninit(&impl_->state) != 0) return false;
  impl_->initialised = true;
  return true;
}

namespace {

// Expands a (possibly compressed) name inside the answer into text. The
// library writes bytes outside the printable range as \DDD escapes.
bool NameAt(const ns_msg& msg, const unsigned char* at, const unsigned char* limit,
            std::string* out) {
  char buf[NS_MAXDNAME];
  if (at >= limit) return false;
  int n = ::ns_name_uncompress(ns_msg_base(msg), ns_msg_end(msg), at, buf, sizeof buf);
  // The name must lie inside its record's data.
  if (n < 0 || at + n > limit) return false;
  *out = buf;
  return true;
}

void ParseRecord(const ns_msg& msg, const ns_rr& rr, std::vector<SystemDnsRecord>* records) {
  SystemDnsRecord rec;
  rec.owner = ns_rr_name(rr);
  rec.type = ns_rr_type(rr);
  const unsigned char* data = ns_rr_rdata(rr);
  const unsigned char* end = data + ns_rr_rdlen(rr);
  switch (rec.type) {
    case ns_t_mx:
      // A record too short for a preference and a name is skipped.
      if (end - data < 3) return;
      rec.preference = static_cast<uint16_t>((data[0] << 8) | data[1]);
      if (!NameAt(msg, data + 2, end, &rec.name)) return;
      break;
    case ns_t_cname:
      if (!NameAt(msg, data, end, &rec.name)) return;
      break;
    case ns_t_txt:
      while (data < end) {
        size_t len = *data++;
        // A character-string that claims more than the record holds is cut off there.
        if (len > static_cast<size_t>(end - data)) len = static_cast<size_t>(end - data);
        std::string text(reinterpret_cast<const char*>(data), len);
        for (char& c : text) {
          unsigned char u = static_cast<unsigned char>(c);
          if (u < 0x20 || u == 0x7f) c = '?';
        }
        rec.texts.push_back(std::move(text));
        data += len;
      }
      break;
    default:
      break;
  }
  records->push_back(std::move(rec));
}

}  // namespace

int SystemResolver::Query(const std::string& name, uint16_t type,
                          std::vector<SystemDnsRecord>* records) {
  std::vector<unsigned char> answer(65536, 0);
  int n = ::res_nquery(&impl_->state, name.c_str(), ns_c_in, type, answer.data(),
                       static_cast<int>(answer.size()));
  if (n < 0) {
    // A server's answer with an error code is left in the buffer: its
    // header tells a name error or a refusal from a missing answer.
    const HEADER* hp = reinterpret_cast<const HEADER*>(answer.data());
    if (hp->qr) {
      if (hp->rcode == ns_r_noerror) return kSystemDnsNoRecords;
      return kSystemDnsRcodeBase + hp->rcode;
    }
    switch (impl_->state.res_h_errno) {
      case HOST_NOT_FOUND:
        return kSystemDnsRcodeBase + ns_r_nxdomain;
      case NO_DATA:
        return kSystemDnsNoRecords;
      case NO_RECOVERY:
        return kSystemDnsInvalidName;
      default:
        return kSystemDnsTimeout;
    }
  }
  ns_msg msg;
  if (::ns_initparse(answer.data(), n, &msg) != 0) return kSystemDnsRcodeBase + ns_r_formerr;
  int count = ns_msg_count(msg, ns_s_an);
  for (int i = 0; i < count; ++i) {
    ns_rr rr;
    // A record that cannot be parsed ends the list; the records before it stand.
    if (::ns_parserr(&msg, ns_s_an, i, &rr) != 0) break;
    if (ns_rr_class(rr) != ns_c_in) continue;
    ParseRecord(msg, rr, records);
  }
  return kSystemDnsSuccess;
}

}  // namespace kelpd::platform
