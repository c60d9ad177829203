// The built-in resolver's per-thread state and its configuration: name
// servers, default domain, search list and options, read afresh by every
// res_init from /etc/resolv.conf, "LOCALDOMAIN", "resolv.conf" in the
// configuration directory ("MAILCONFIGDIR") and the host name.
//
// Thread safety: each thread owns its state (thread-local); nothing guards
// it. The test settings are process-wide and guarded by their own lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DnsTransport.h"
#include "platform/UniqueFd.h"

namespace kelpd::dns {

constexpr uint32_t OPT_INITIALIZED = 0x001;
constexpr uint32_t OPT_RECURSE = 0x040;
constexpr uint32_t OPT_DEFAULT_NAMES = 0x080;
constexpr uint32_t OPT_SEARCH = 0x200;

constexpr int kMaxServers = 3;
constexpr int kMaxSearchNames = 6;
constexpr size_t kDomainSize = 256;  // default_domain holds at most 255 bytes
constexpr int kMXHostBufSize = 10240;
constexpr uint16_t kDnsPort = 53;

// Failure reasons of a lookup (the host-lookup error numbers of the socket API).
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;
// Send failure reasons of res_send.
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;

struct ResolverState {
  int32_t retransmit_seconds = 5;
  int32_t retry_count = 4;
  uint32_t options = OPT_RECURSE | OPT_DEFAULT_NAMES | OPT_SEARCH;
  int32_t server_count = 0;
  std::array<platform::Ipv4Endpoint, kMaxServers> servers{
      {platform::Ipv4Endpoint{0, kDnsPort}, {}, {}}};
  // Identifier of the last query built (random for each query).
  uint16_t query_id = 0;
  std::string default_domain;
  // At most kMaxSearchNames names.
  std::vector<std::string> search_list;
  // The failure reason of the last lookup (h_errno; that name is a macro of
  // the C library's <netdb.h>).
  int32_t host_error = 0;
  // Host name storage of the MX lookup, kMXHostBufSize bytes, allocated on first use.
  std::unique_ptr<char[]> MXHostBuf;
  platform::UniqueFd query_socket;
  // The send failure reason of the last res_send: 10061 when no server sent
  // any datagram, 10060 when datagrams came but none was a usable answer, a
  // TCP step's socket error less 10000, 10004 when the worker was stopped.
  int32_t send_error = 0;
};

// Builds a fresh state for the calling thread, replacing any it had. Returns
// 0, or -1 when it cannot be allocated.
int res_init();
// Releases the calling thread's state. Returns 0, or -1 when it had none.
int res_cleanup();
// The calling thread's state, or null before res_init.
ResolverState* CurrentResolverState();
// The calling thread's state, built by res_init when it is not initialised
// yet; null when that fails.
ResolverState* InitializedResolverState();

// The platform's name servers and domain, as /etc/resolv.conf gives them: the
// first three IPv4 "nameserver" lines, and the last "domain" or "search" line
// (the first name of a search line).
struct PlatformDnsSettings {
  std::vector<uint32_t> servers;  // network order
  std::string domain;
};
PlatformDnsSettings ParsePlatformResolvConf(std::string_view text);

// Applies the text of "resolv.conf" in the configuration directory to state:
// "nameserver", "domain" and "search" lines, each keyword matched as a prefix
// at the very start of a line (lines of at most 511 characters; longer lines
// go on as new lines). domain_from_env: "LOCALDOMAIN" set the domain, so
// "domain" and "search" are ignored. Returns true when a "search" line was the
// last domain line (it decided the search list).
bool ApplyResolvConf(std::string_view text, bool domain_from_env, ResolverState& state);

// Derives the search list from default_domain: the domain, then its parents
// while they have at least two labels, at most three names.
void DeriveSearchList(ResolverState& state);

// Settings that only tests change: where the platform configuration is read,
// the port of every name server, the length of a "second" of the resolver's
// waits, and the host name. Production code never reads them from any file.
struct ResolverTestSettings {
  std::string platform_conf_path = "/etc/resolv.conf";
  uint16_t server_port = kDnsPort;
  int millis_per_second = 1000;
  std::optional<std::string> host_name;  // none: the real host name
};
void SetResolverTestSettings(const ResolverTestSettings& settings);
ResolverTestSettings GetResolverTestSettings();

}  // namespace kelpd::dns
