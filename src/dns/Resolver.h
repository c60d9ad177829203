// CResolver: the mail hosts of a domain, in the order to try, through the
// system resolver (CDnsApiResolver) or the built-in one (CStubResolver).
// A resolver is made for one lookup on one thread and destroyed after it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/StringListEx.h"
#include "platform/IpAddress.h"

namespace kelpd::dns {

// The addresses of the names looked up during one delivery attempt: each name
// is looked up once (every address, as ResolveAll gives them), whoever asks.
// Not thread-safe: one per attempt.
class AddressCache {
 public:
  const std::vector<platform::IpAddress>& All(const std::string& host);
  // The kept addresses of host, or null when it was not looked up.
  const std::vector<platform::IpAddress>* Find(const std::string& host) const;
  void Clear() { kept_.clear(); }

 private:
  std::map<std::string, std::vector<platform::IpAddress>> kept_;
};

}  // namespace kelpd::dns

class CResolver {
 public:
  virtual ~CResolver() = default;
  // Prepares the implementation; true when it can be used.
  virtual bool Init() = 0;
  // Appends the mail hosts of domain to hosts in the order to try, leaving
  // out hosts without an IPv4 or IPv6 address and hosts on 127.0.0.1 (see
  // IsUsableMailHost). Returns 0 or an
  // error code (see the implementations).
  virtual int GetMXHosts(const char* domain, CStringListEx& hosts) = 0;
  // Appends the text records of domain. Not used by the delivery path.
  virtual int GetTXTRecords(const char* domain, CStringListEx& texts) = 0;

  // Off (the default): GetMXHosts also leaves out hosts on any loopback or
  // "this network" address (127.0.0.0/8, 0.0.0.0/8, ::1, ::), which would loop mail
  // into this machine. On: only 127.0.0.1 is left out, for set-ups whose mail
  // hosts listen on loopback addresses ("AllowLoopbackMX").
  void AllowLoopbackHosts(bool allow) { allow_loopback_ = allow; }
  bool AllowsLoopbackHosts() const { return allow_loopback_; }
  // The addresses GetMXHosts looks up are kept in cache (not owned; null:
  // none), so that the rest of the attempt does not look them up again.
  void UseAddressCache(kelpd::dns::AddressCache* cache) { cache_ = cache; }
  kelpd::dns::AddressCache* address_cache() const { return cache_; }

 private:
  bool allow_loopback_ = false;
  kelpd::dns::AddressCache* cache_ = nullptr;
};

// The system resolver when it can be initialised, else the built-in one.
// Never null in practice; the caller owns the result.
std::unique_ptr<CResolver> CreateResolver();

namespace kelpd::dns {
// The addresses of a mail host that are connected to: a name that reads as an
// address (a literal, with or without a trailing dot) is that address; else
// the first IPv4 and the first IPv6 address of the name, IPv4 first. Empty
// when the name does not resolve.
std::vector<platform::IpAddress> MailHostAddresses(const std::string& host,
                                                   AddressCache* cache = nullptr);
// True for addresses that always mean this machine: 127.0.0.0/8, 0.0.0.0/8,
// ::1, :: and those IPv4 addresses written as IPv6 (::ffff:127.0.0.1).
bool IsThisHostAddress(const platform::IpAddress& address);
// True when host resolves, none of its MailHostAddresses is 127.0.0.1 (also
// written as IPv6), nor, unless allow_loopback, any other address of
// IsThisHostAddress.
bool IsUsableMailHost(const std::string& host, bool allow_loopback, AddressCache* cache = nullptr);
}  // namespace kelpd::dns
