// The MX procedure of the built-in resolver: getmxrr (mail hosts of a domain,
// in the order to try) and canonicalize_host (the canonical name of a host
// through the search list and CNAME records). The walkers that read answers
// take the answer as a buffer so they can be driven without a server.
// Thread safety: works on the calling thread's ResolverState; the weight seed
// is process-wide and set once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelpd::dns {

constexpr int kMaxMxEntries = 19;
constexpr int kMaxCnameLinks = 11;
constexpr int EX_NOHOST = 68;
constexpr int EX_OSERR = 71;
constexpr int EX_TEMPFAIL = 75;

// Fills hostsOut (room for at least kMaxMxEntries + 1 pointers) with pointers
// into the thread's MXHostBuf, each name ending in a dot, and returns their
// number; -1 with *resultCode set (68 no such domain, 75 temporary failure,
// 71 other), or -1 with *resultCode untouched when MXHostBuf can't be had.
// The names stay valid until the next getmxrr of the thread. dropLocal is
// accepted and not consulted.
int getmxrr(const char* host, char** hostsOut, bool dropLocal, int* resultCode);

// Replaces host (a buffer of size bytes) by its canonical name found through
// DNS; true when one was found.
bool canonicalize_host(char* host, int size, bool tryMX);

// One MX entry of an answer.
struct MxEntry {
  char* name = nullptr;  // inside the host buffer
  uint16_t preference = 0;
  int weight = 0;
};

// Reads the MX records of answer into buf (bufSize bytes: each name and its
// dot and zero byte), at most kMaxMxEntries of them, in answer order; other
// record types are reported on standard error and passed over. Returns the
// number of entries, or -1 when the question section is malformed.
int WalkMxAnswer(const uint8_t* answer, int answerLen, char* buf, int bufSize, MxEntry* entries);

// Orders entries by preference, equal preferences by weight.
void SortMxEntries(MxEntry* entries, int count);

// The weight of a host name for ordering equal preferences: a hash of the
// lower-cased name seeded per process, 0..255.
int MxWeight(const char* name);

// What one answer tells canonicalize_host.
struct CanonicalScan {
  bool question_ok = false;  // false: the question section is malformed
  int qdcount = 0;
  bool address_match = false;  // an A or AAAA record, or an MX record under the empty suffix
  bool mx_seen = false;
  std::optional<std::string> cname;  // target of the first CNAME record
};
CanonicalScan ScanCanonicalAnswer(const uint8_t* answer, int answerLen, bool empty_suffix);

}  // namespace kelpd::dns
