#include "dns/ResolverState.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "base/Environment.h"
#include "base/Text.h"
#include "platform/Files.h"
#include "platform/HostLookup.h"

namespace kelpd::dns {

namespace {

// The thread-local slot. Each thread's state is released by res_cleanup or,
// failing that, when the thread ends.
thread_local std::unique_ptr<ResolverState> t_state;

std::mutex g_test_mutex;
ResolverTestSettings g_test_settings;  // guarded by g_test_mutex

constexpr size_t kConfFileLimit = 64 * 1024;
constexpr size_t kLineLimit = 511;

std::string_view SkipSpace(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && text::IsSpace(static_cast<unsigned char>(s[i]))) ++i;
  return s.substr(i);
}

std::string_view FirstWord(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && !text::IsSpace(static_cast<unsigned char>(s[i]))) ++i;
  return s.substr(0, i);
}

// The value of a line from keyword on: text after the keyword and the
// white space behind it, cut at the line end; empty when nothing is left.
std::string_view ValueAfter(std::string_view line, size_t keyword_len) {
  std::string_view v = SkipSpace(line.substr(keyword_len));
  size_t end = v.find_first_of("\r\n");
  if (end != std::string_view::npos) v = v.substr(0, end);
  return v;
}

std::string CutDomain(std::string_view v) {
  std::string d(v.substr(0, kDomainSize - 1));
  // Blanks after the name (or before a comment's end of line) are no part of it.
  while (!d.empty() && text::IsSpace(static_cast<unsigned char>(d.back()))) d.pop_back();
  return d;
}

// Splits text into lines as a 512-byte line reader returns them.
std::vector<std::string_view> ReaderLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    size_t len = nl == std::string_view::npos ? text.size() : nl + 1;
    if (len > kLineLimit) len = kLineLimit;
    lines.push_back(text.substr(0, len));
    text.remove_prefix(len);
  }
  return lines;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// A /etc/resolv.conf keyword: at the start of the line, followed by a blank.
bool IsSystemKeyword(std::string_view line, std::string_view keyword) {
  return StartsWith(line, keyword) && line.size() > keyword.size() &&
         (line[keyword.size()] == ' ' || line[keyword.size()] == '\t');
}

}  // namespace

PlatformDnsSettings ParsePlatformResolvConf(std::string_view text) {
  PlatformDnsSettings out;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (IsSystemKeyword(line, "nameserver")) {
      if (out.servers.size() >= kMaxServers) continue;
      std::string word(FirstWord(SkipSpace(line.substr(10))));
      // IPv6 servers are not for this resolver.
      if (auto addr = platform::ParseIPv4(word)) out.servers.push_back(*addr);
    } else if (IsSystemKeyword(line, "domain") || IsSystemKeyword(line, "search")) {
      std::string_view name = FirstWord(SkipSpace(line.substr(6)));
      if (!name.empty()) out.domain = CutDomain(name);
    }
  }
  return out;
}

bool ApplyResolvConf(std::string_view text, bool domain_from_env, ResolverState& state) {
  const uint16_t port = GetResolverTestSettings().server_port;
  int file_servers = 0;
  bool search_decided = false;
  for (std::string_view line : ReaderLines(text)) {
    // Keywords are compared over their own length only: "nameserverX" counts,
    // "  nameserver" does not.
    if (StartsWith(line, "domain")) {
      if (domain_from_env) continue;
      std::string_view v = ValueAfter(line, 6);
      if (v.empty()) continue;
      state.default_domain = CutDomain(v);
      search_decided = false;
    } else if (StartsWith(line, "search")) {
      if (domain_from_env) continue;
      std::string_view v = ValueAfter(line, 6);
      if (v.empty()) continue;
      std::string copy = CutDomain(v);
      std::vector<std::string> names;
      std::string_view rest = copy;
      while (names.size() < kMaxSearchNames) {
        rest = SkipSpace(rest);
        if (rest.empty()) break;
        std::string_view word = FirstWord(rest);
        names.emplace_back(word);
        rest.remove_prefix(word.size());
      }
      state.search_list = std::move(names);
      state.default_domain = state.search_list.empty() ? copy : state.search_list.front();
      search_decided = true;
    } else if (StartsWith(line, "nameserver")) {
      if (file_servers >= kMaxServers) continue;
      std::string_view v = ValueAfter(line, 10);
      if (v.empty()) continue;
      auto addr = platform::ParseIPv4(std::string(FirstWord(v)));
      if (!addr) continue;  // an invalid address does not take a position
      state.servers[file_servers++] = platform::Ipv4Endpoint{*addr, port};
    }
  }
  // The file's servers replace the platform's entirely.
  if (file_servers > 0) state.server_count = file_servers;
  return search_decided;
}

void DeriveSearchList(ResolverState& state) {
  state.search_list.clear();
  const std::string& d = state.default_domain;
  state.search_list.push_back(d);
  int dots = 0;
  for (char c : d) dots += c == '.';
  size_t from = 0;
  while (dots >= 2 && state.search_list.size() < 3) {
    size_t dot = d.find('.', from);
    if (dot == std::string::npos) break;
    from = dot + 1;
    state.search_list.push_back(d.substr(from));
    --dots;
  }
}

int res_init() {
  std::unique_ptr<ResolverState> state(new (std::nothrow) ResolverState);
  if (!state) return -1;
  ResolverTestSettings settings = GetResolverTestSettings();

  // The platform's servers and domain.
  if (auto text = platform::ReadFileStart(settings.platform_conf_path, kConfFileLimit)) {
    PlatformDnsSettings platform_dns = ParsePlatformResolvConf(*text);
    for (uint32_t addr : platform_dns.servers) {
      state->servers[state->server_count++] = platform::Ipv4Endpoint{addr, settings.server_port};
    }
    state->default_domain = platform_dns.domain;
  }
  state->servers[0].port = settings.server_port;

  bool domain_from_env = false;
  if (std::string env; kelpd::base::EnvSet("LOCALDOMAIN", env)) {
    state->default_domain = CutDomain(env);
    domain_from_env = true;
  }

  bool search_decided = false;
  if (std::string path; kelpd::base::EnvValue(kelpd::base::kConfigDirVariable, path)) {
    if (!path.empty() && path.back() != '/') path += '/';
    path += "resolv.conf";
    if (auto text = platform::ReadFileStart(path, kConfFileLimit))
      search_decided = ApplyResolvConf(*text, domain_from_env, *state);
  }

  if (state->default_domain.empty()) {
    std::optional<std::string> host =
        settings.host_name ? settings.host_name : platform::HostName();
    if (host) {
      size_t dot = host->find('.');
      if (dot != std::string::npos) state->default_domain = CutDomain(host->substr(dot + 1));
    }
  }
  if (!search_decided) DeriveSearchList(*state);
  state->options |= OPT_INITIALIZED;
  t_state = std::move(state);
  return 0;
}

int res_cleanup() {
  if (!t_state) return -1;
  t_state.reset();  // frees MXHostBuf and closes query_socket
  return 0;
}

ResolverState* CurrentResolverState() { return t_state.get(); }

ResolverState* InitializedResolverState() {
  if (!t_state || !(t_state->options & OPT_INITIALIZED)) {
    if (res_init() != 0) return nullptr;
  }
  return t_state.get();
}

void SetResolverTestSettings(const ResolverTestSettings& settings) {
  std::lock_guard<std::mutex> lock(g_test_mutex);
  g_test_settings = settings;
}

ResolverTestSettings GetResolverTestSettings() {
  std::lock_guard<std::mutex> lock(g_test_mutex);
  return g_test_settings;
}

}  // namespace kelpd::dns
