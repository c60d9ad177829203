// Where a mail goes: host entries of the form user:password@host:port and the
// smarthost route, which picks the host list of the best-matching key of the
// "smarthosts" map by the sender's or the recipient's domain.
// Thread-safe: pure functions; the map is read under its own section.
#pragma once

#include <string>
#include <string_view>

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

}  // namespace kelpd::smtp
