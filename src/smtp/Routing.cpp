#include "smtp/Routing.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "base/Paths.h"
#include "base/Text.h"
#include "config/ConfigMap.h"

namespace kelpd::smtp {

namespace {

// The port of a host entry: the usual leading-digits conversion, bounded so
// that a long run of digits from a hand-written file cannot overflow.
unsigned ParsePort(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && kelpd::text::IsSpace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  unsigned long value = 0;
  for (; i < text.size() && kelpd::text::IsDigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > 65535) return 0;
  }
  return negative ? 0 : static_cast<unsigned>(value);
}

}  // namespace

void ParseHostEntry(const std::string& entry, HostEntry& out) {
  std::string_view host_part = entry;
  const size_t at = entry.rfind('@');
  if (at != std::string::npos) {
    const std::string_view credentials = std::string_view(entry).substr(0, at);
    host_part = std::string_view(entry).substr(at + 1);
    const size_t colon = credentials.find(':');
    if (colon == std::string_view::npos) {
      out.user.assign(credentials);
    } else {
      out.user.assign(credentials.substr(0, colon));
      out.password.assign(credentials.substr(colon + 1));
    }
  }
  // An address literal in square brackets ("[2001:db8::1]:2525") keeps its
  // brackets and its colons; the port follows the closing bracket.
  const size_t close = host_part.find(']');
  if (!host_part.empty() && host_part.front() == '[' && close != std::string_view::npos) {
    out.host.assign(host_part.substr(0, close + 1));
    const std::string_view rest = host_part.substr(close + 1);
    if (!rest.empty()) out.port = rest.front() == ':' ? ParsePort(rest.substr(1)) : 0;
    return;
  }
  const size_t colon = host_part.find(':');
  if (colon == std::string_view::npos) {
    out.host.assign(host_part);
  } else {
    out.host.assign(host_part.substr(0, colon));
    out.port = ParsePort(host_part.substr(colon + 1));
  }
}

bool MatchDomainPattern(std::string_view pattern, std::string_view domain) {
  return !kelpd::text::HasWildcard(domain) && kelpd::text::MatchPattern(pattern, domain, false);
}

const SortedEntries::Entries& SortedEntries::Of(const CConfigMap& map) {
  std::lock_guard<std::recursive_mutex> lock(map.Section());
  if (generation_ != map.Generation()) {
    entries_.assign(map.Items().begin(), map.Items().end());
    // The map is a hash table; a sorted walk makes ties come out the same
    // way on every run.
    std::sort(entries_.begin(), entries_.end());
    generation_ = map.Generation();
  }
  return entries_;
}

bool SmarthostRoute(const CConfigMap& map, const std::string& sender_domain,
                    const std::string& recipient_domain, CStringListEx& hosts) {
  SortedEntries sorted;
  return SmarthostRoute(sorted.Of(map), sender_domain, recipient_domain, hosts);
}

bool SmarthostRoute(const SortedEntries::Entries& entries, const std::string& sender_domain,
                    const std::string& recipient_domain, CStringListEx& hosts) {
  int best = -1;
  const std::string* chosen = nullptr;
  for (const auto& [key, value] : entries) {
    bool match;
    if (!key.empty() && key[0] == '<')
      match = MatchDomainPattern(std::string_view(key).substr(1), sender_domain);
    else if (!key.empty() && key[0] == '>')
      match = MatchDomainPattern(std::string_view(key).substr(1), recipient_domain);
    else
      match = MatchDomainPattern(key, recipient_domain);
    if (!match) continue;
    const int score = static_cast<int>(std::count(key.begin(), key.end(), '.'));
    if (score > best) {
      best = score;
      chosen = &value;
    }
  }
  if (chosen == nullptr) return false;
  CStringListEx pieces;
  Split(*chosen, ",", pieces);
  for (const std::string& piece : pieces)
    if (!piece.empty()) hosts.AddTail(piece);
  return true;
}

}  // namespace kelpd::smtp
