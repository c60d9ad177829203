// Feeds arbitrary DNS answers to the code that walks them: name expansion
// and skipping at every offset, the MX walker with its host buffer, the
// canonical-name scan, the address records and the question comparison.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "dns/DnsQuery.h"
#include "dns/DnsWire.h"
#include "dns/MxLookup.h"
#include "dns/ResolverState.h"

using namespace kelpd::dns;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65535) return 0;
  // An exact-size copy, so that any read past the answer is caught.
  std::vector<uint8_t> msg(data, data + size);
  const uint8_t* m = msg.data();
  const int len = static_cast<int>(size);

  for (size_t at = 0; at < size && at < 600; ++at) {
    char out[kMaxName];
    int n = expand_name(m, m + size, m + at, out, sizeof out);
    if (n >= 0 && (std::strlen(out) >= sizeof out || static_cast<size_t>(n) > size - at))
      __builtin_trap();
    int s = skip_name(m + at, m + size);
    if (s > static_cast<int>(size - at)) __builtin_trap();
  }

  std::vector<char> buf(kMXHostBufSize);
  MxEntry entries[kMaxMxEntries];
  int count = WalkMxAnswer(m, len, buf.data(), static_cast<int>(buf.size()), entries);
  if (count > kMaxMxEntries) __builtin_trap();
  for (int i = 0; i < count; ++i) {
    size_t l = std::strlen(entries[i].name);
    if (entries[i].name + l >= buf.data() + buf.size()) __builtin_trap();
    for (size_t j = 0; j < l; ++j)
      if (static_cast<unsigned char>(entries[i].name[j]) < 0x21) __builtin_trap();
  }
  if (count > 0) SortMxEntries(entries, count);

  CanonicalScan scan = ScanCanonicalAnswer(m, len, true);
  if (scan.cname) {
    for (char c : *scan.cname)
      if (static_cast<unsigned char>(c) < 0x21) __builtin_trap();
  }
  (void)QuestionMatches(m, len, m, len);

  DnsReader r(m, size);
  r.SkipQuestions(size >= kHeaderSize ? HeaderQdcount(m) : 0);
  for (int i = 0; i < 64 && !r.AtEnd(); ++i) {
    r.Name();
    RecordHeader h = ReadRecordHeader(r);
    if (!r.ok()) break;
    std::optional<kelpd::platform::IpAddress> address = AddressOfRecord(m, size, h);
    if (address && h.rdlength != (address->IsV6() ? 16 : 4)) __builtin_trap();
    r.Seek(h.rdata + h.rdlength);
  }
  return 0;
}
