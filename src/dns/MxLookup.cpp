#include "dns/MxLookup.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "dns/DnsQuery.h"
#include "dns/DnsWire.h"
#include "dns/ResolverState.h"
#include "platform/HostLookup.h"

namespace kelpd::dns {

namespace {

std::atomic<unsigned> g_weight_seed{0};

unsigned WeightSeed() {
  unsigned seed = g_weight_seed.load(std::memory_order_relaxed);
  if (seed == 0) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    seed = static_cast<unsigned>(ms) & 0xffff;
    if (seed == 0) seed = 1;
    // Two threads may race here; either value is as good as the other.
    g_weight_seed.store(seed, std::memory_order_relaxed);
  }
  return seed;
}

// Copies src into dst (size bytes), cut so that it always ends in a zero byte.
void CopyCut(char* dst, size_t size, const char* src, size_t len) {
  if (size == 0) return;
  if (len > size - 1) len = size - 1;
  std::memmove(dst, src, len);
  dst[len] = '\0';
}

}  // namespace

int MxWeight(const char* name) {
  int value = static_cast<int>(WeightSeed());
  for (const char* p = name; *p != '\0'; ++p) {
    int c = static_cast<signed char>(*p);
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    value = ((value * 2) ^ c) % 2003;
  }
  return value & 0xff;
}

int WalkMxAnswer(const uint8_t* answer, int answerLen, char* buf, int bufSize, MxEntry* entries) {
  if (answer == nullptr || answerLen < kHeaderSize || bufSize < 2) return -1;
  const uint8_t* eom = answer + answerLen;
  DnsReader r(answer, static_cast<size_t>(answerLen));
  r.SkipQuestions(HeaderQdcount(answer));
  if (!r.ok()) return -1;
  int records = HeaderAncount(answer);
  char* bp = buf;
  int buflen = bufSize - 1;
  int count = 0;
  while (--records >= 0 && !r.AtEnd() && count < kMaxMxEntries) {
    // The owner name goes into the free part of the buffer as scratch.
    int n = expand_name(answer, eom, answer + r.pos(), bp, buflen);
    if (n < 0) break;
    r.Skip(static_cast<size_t>(n));
    RecordHeader h = ReadRecordHeader(r);
    if (!r.ok()) break;  // a record cut short ends the walk
    if (h.type != kTypeMx) {
      std::fprintf(stderr, "unexpected answer type %d, size %d\n", h.type, h.rdlength);
      r.Skip(h.rdlength);
      continue;
    }
    // A record too short for a preference and a name is corrupt.
    if (h.rdlength < 3) break;
    uint16_t preference = Get16(answer + h.rdata);
    // One byte held back for the dot that may be appended.
    n = expand_name(answer, eom, answer + h.rdata + 2, bp, buflen - 1);
    // The exchange name must lie inside the record's data.
    if (n < 0 || n > h.rdlength - 2) break;
    r.Seek(h.rdata + h.rdlength);
    size_t len = std::strlen(bp);
    entries[count].name = bp;
    entries[count].preference = preference;
    entries[count].weight = MxWeight(bp);
    if (len == 0 || bp[len - 1] != '.') bp[len++] = '.';
    bp[len++] = '\0';
    bp += len;
    buflen -= static_cast<int>(len);
    ++count;
  }
  return count;
}

void SortMxEntries(MxEntry* entries, int count) {
  for (int i = 0; i < count; ++i) {
    for (int j = i + 1; j < count; ++j) {
      if (entries[i].preference > entries[j].preference ||
          (entries[i].preference == entries[j].preference &&
           entries[i].weight > entries[j].weight)) {
        MxEntry t = entries[i];
        entries[i] = entries[j];
        entries[j] = t;
      }
    }
  }
}

int getmxrr(const char* host, char** hostsOut, bool dropLocal, int* resultCode) {
  (void)dropLocal;
  ResolverState* st = InitializedResolverState();
  if (st != nullptr && !st->MXHostBuf) st->MXHostBuf.reset(new (std::nothrow) char[kMXHostBufSize]);
  if (st == nullptr || !st->MXHostBuf) {
    std::fprintf(stderr, "no memory for MXHostBuf\n");
    return -1;
  }
  char* buf = st->MXHostBuf.get();
  bool try_canonify = false;

  if (host[0] != '[') {
    uint8_t answer[kMaxPacket];
    int n = res_search(host, kClassIn, kTypeMx, answer, sizeof answer);
    if (n < 0) {
      switch (st->host_error) {
        case WSAHOST_NOT_FOUND:
          *resultCode = EX_NOHOST;
          return -1;
        case WSATRY_AGAIN:
          *resultCode = EX_TEMPFAIL;
          return -1;
        case WSANO_RECOVERY:
          break;
        case WSANO_DATA:
          try_canonify = true;
          break;
        default:
          std::fprintf(stderr, "getmxrr: res_search (%s) failed with impossible h_errno (%d)\n",
                       Printable(host).c_str(), st->host_error);
          *resultCode = EX_OSERR;
          return -1;
      }
    } else {
      MxEntry entries[kMaxMxEntries];
      int count = WalkMxAnswer(answer, n, buf, kMXHostBufSize, entries);
      if (count > 0) {
        SortMxEntries(entries, count);
        for (int i = 0; i < count; ++i) hostsOut[i] = entries[i].name;
        hostsOut[count] = nullptr;
        return count;
      }
      // A malformed question, or no usable MX record: the host itself.
    }
  }

  // The host itself as the single result; a name longer than the buffer is
  // cut to it (room kept for the dot appended below).
  CopyCut(buf, kMXHostBufSize - 1, host, std::strlen(host));
  if (buf[0] == '[') {
    char* close = std::strchr(buf, ']');
    if (close != nullptr) {
      std::string inner(buf + 1, close);
      if (!platform::ParseIpAddress(inner)) {
        // A bracketed name (not an address) is looked up like any host.
        CopyCut(buf, kMXHostBufSize - 1, inner.data(), inner.size());
        try_canonify = true;
      }
    }
  }
  if (try_canonify && canonicalize_host(buf, kMXHostBufSize - 2, false)) {
    size_t len = std::strlen(buf);
    if (len == 0 || buf[len - 1] != '.') {
      buf[len] = '.';
      buf[len + 1] = '\0';
    }
  }
  hostsOut[0] = buf;
  hostsOut[1] = nullptr;
  return 1;
}

CanonicalScan ScanCanonicalAnswer(const uint8_t* answer, int answerLen, bool empty_suffix) {
  CanonicalScan scan;
  if (answer == nullptr || answerLen < kHeaderSize) return scan;
  scan.qdcount = HeaderQdcount(answer);
  DnsReader r(answer, static_cast<size_t>(answerLen));
  r.SkipQuestions(scan.qdcount);
  if (!r.ok()) return scan;
  scan.question_ok = true;
  int records = HeaderAncount(answer);
  while (--records >= 0 && !r.AtEnd()) {
    r.Name();
    RecordHeader h = ReadRecordHeader(r);
    if (!r.ok()) break;  // a record cut short ends the scan
    switch (h.type) {
      case kTypeA:
        scan.address_match = true;
        break;
      case kTypeAaaa:
        // Only a well-formed IPv6 address counts.
        if (AddressOfRecord(answer, static_cast<size_t>(answerLen), h)) scan.address_match = true;
        break;
      case kTypeMx:
        scan.mx_seen = true;
        if (empty_suffix) scan.address_match = true;
        break;
      case kTypeCname: {
        DnsReader target(answer, static_cast<size_t>(answerLen));
        target.Seek(h.rdata);
        std::string name = target.Name();
        // The target must lie inside the record's data.
        if (!target.ok() || target.pos() > h.rdata + h.rdlength) return scan;
        scan.cname = std::move(name);
        return scan;
      }
      default:
        break;
    }
    r.Seek(h.rdata + h.rdlength);
  }
  return scan;
}

bool canonicalize_host(char* host, int size, bool tryMX) {
  ResolverState* st = InitializedResolverState();
  if (st == nullptr || host == nullptr || size <= 0) return false;
  std::string name(host, strnlen(host, static_cast<size_t>(size)));
  if (static_cast<int>(name.size()) > size - 1) name.resize(static_cast<size_t>(size - 1));
  int cname_links = 0;
  bool got_mx = false;

restart:
  // nullopt: the name alone; otherwise a domain to join it with.
  std::vector<std::optional<std::string>> suffixes;
  int dots = 0;
  for (char c : name) dots += c == '.';
  const bool trailing_dot = !name.empty() && name.back() == '.';
  if (dots > 0) suffixes.emplace_back(std::nullopt);
  if (!trailing_dot && (st->options & OPT_SEARCH)) {
    for (const std::string& d : st->search_list) suffixes.emplace_back(d);
  } else if (dots == 0 && (st->options & OPT_DEFAULT_NAMES)) {
    suffixes.emplace_back(st->default_domain);
  } else if (trailing_dot) {
    name.pop_back();
  }

  int chosen = -1;
  int mx_match = -1;
  uint8_t answer[kMaxPacket];
  for (size_t i = 0; i < suffixes.size() && chosen < 0; ++i) {
    const std::optional<std::string>& suffix = suffixes[i];
    const bool empty_suffix = !suffix || suffix->empty();
    int qtype = kTypeAny;
    for (;;) {
      int n = res_querydomain(name.c_str(), suffix ? suffix->c_str() : nullptr, kClassIn, qtype,
                              answer, sizeof answer);
      bool next_type = false;
      if (n <= 0) {
        if (st->send_error == WSAECONNREFUSED) {
          st->host_error = WSATRY_AGAIN;
          return false;
        }
        if (st->host_error == WSATRY_AGAIN) return false;
        if (st->host_error != WSAHOST_NOT_FOUND) {
          if (qtype == kTypeAny) {
            qtype = kTypeA;
            continue;
          }
          if (qtype == kTypeA) {
            qtype = kTypeAaaa;
            continue;
          }
          if (qtype == kTypeAaaa && !got_mx && tryMX) {
            qtype = kTypeMx;
            continue;
          }
        }
        if (mx_match >= 0) goto done;
        break;  // the next suffix
      }
      CanonicalScan scan = ScanCanonicalAnswer(answer, n, empty_suffix);
      if (!scan.question_ok) {
        std::fprintf(stderr, "qdcount failure (%d)\n", scan.qdcount);
        return false;
      }
      if (scan.mx_seen) {
        got_mx = true;
        if (!empty_suffix && tryMX && mx_match < 0) mx_match = static_cast<int>(i);
      }
      if (scan.cname) {
        if (++cname_links > kMaxCnameLinks) {
          std::fprintf(stderr, "***notify: DNS failure: CNAME loop for %s\n",
                       Printable(name).c_str());
          st->host_error = WSANO_RECOVERY;
          return false;
        }
        name = *scan.cname;
        if (static_cast<int>(name.size()) > size - 1) name.resize(static_cast<size_t>(size - 1));
        goto restart;
      }
      if (scan.address_match) {
        chosen = static_cast<int>(i);
        break;
      }
      if (qtype == kTypeAny) {
        qtype = kTypeA;
        next_type = true;
      } else if (qtype == kTypeA) {
        qtype = kTypeAaaa;
        next_type = true;
      } else if (qtype == kTypeAaaa && !got_mx && tryMX) {
        qtype = kTypeMx;
        next_type = true;
      }
      if (!next_type) break;
    }
  }
done:
  if (chosen < 0) chosen = mx_match;
  if (chosen < 0) return false;
  const std::optional<std::string>& suffix = suffixes[static_cast<size_t>(chosen)];
  const std::string domain = suffix ? *suffix : std::string();
  char out[2 * 256 + 2];
  std::snprintf(out, sizeof out, "%.*s%s%.*s", 256, name.c_str(), suffix ? "." : "", 256,
                domain.c_str());
  CopyCut(host, static_cast<size_t>(size), out, std::strlen(out));
  return true;
}

}  // namespace kelpd::dns
