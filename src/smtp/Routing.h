// Where a mail goes: host entries of the form user:password@host:port and the
// smarthost route, which picks the host list of the best-matching key of the
// "smarthosts" map by the sender's or the recipient's domain.
// Thread-safe: pure functions; the map is read under its own section.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/StringListEx.h"

class CConfigMap;

namespace kelpd::smtp {

struct HostEntry {
  std::string host;
  unsigned port = 25;
  std::string user;
  std::string password;
};

// Splits entry at its last '@' (credentials left, host right), the
// credentials at their first ':' (user, password) and the host part at its
// first ':' (host, decimal port read as leading digits); a host part that
// begins with '[' is an address literal up to its first ']' (brackets kept:
// "[2001:db8::1]:2525"), and only ':' and the port may follow it (anything
// else gives port 0). Fields the entry does not have are left as they are in out. A port beyond
// 65535 becomes 0, which no connection accepts.
void ParseHostEntry(const std::string& entry, HostEntry& out);

// The wildcard match of smarthost keys: '*' any run of characters, '?' one,
// everything else itself, case-sensitively. A domain holding '*' or '?'
// matches nothing.
bool MatchDomainPattern(std::string_view pattern, std::string_view domain);

// The host entries of the best-matching key of map, appended to hosts in the
// order of its value (cut at ',', trimmed, empty pieces skipped). A key
// "<pattern" matches the sender's domain, ">pattern" and a plain pattern the
// recipient's. The score of a key is its number of dots; only a strictly
// higher score replaces the choice. Keys are examined in ascending byte
// order, so of two matching keys with the same score the smaller one wins.
// Returns whether a key matched.
bool SmarthostRoute(const CConfigMap& map, const std::string& sender_domain,
                    const std::string& recipient_domain, CStringListEx& hosts);

// The entries of a map in ascending key order, copied and sorted again only
// when the map has changed since the last call: a delivery thread keeps one
// for the smarthost map, so that a mail costs a walk of the table, not a copy
// and a sort. Not thread-safe: one per thread.
class SortedEntries {
 public:
  using Entries = std::vector<std::pair<std::string, std::string>>;
  const Entries& Of(const CConfigMap& map);

 private:
  uint64_t generation_ = 0;  // of the map the entries were taken from; 0: none
  Entries entries_;
};

// SmarthostRoute over entries in ascending key order.
bool SmarthostRoute(const SortedEntries::Entries& entries, const std::string& sender_domain,
                    const std::string& recipient_domain, CStringListEx& hosts);

}  // namespace kelpd::smtp
