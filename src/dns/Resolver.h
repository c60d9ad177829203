// CResolver: the mail hosts of a domain, in the order to try, through the
// system resolver (CDnsApiResolver) or the built-in one (CStubResolver).
// A resolver is made for one lookup on one thread and destroyed after it.
#pragma once

#include <memory>

#include "config/StringListEx.h"

class CResolver {
 public:
  virtual ~CResolver() = default;
  // Prepares the implementation; true when it can be used.
  virtual bool Init() = 0;
  // Appends the mail hosts of domain to hosts in the order to try, leaving
  // out hosts that do not resolve or resolve to 127.0.0.1. Returns 0 or an
  // error code (see the implementations).
  virtual int GetMXHosts(const char* domain, CStringListEx& hosts) = 0;
  // Appends the text records of domain. Not used by the delivery path.
  virtual int GetTXTRecords(const char* domain, CStringListEx& texts) = 0;
};

// The system resolver when it can be initialised, else the built-in one.
// Never null in practice; the caller owns the result.
std::unique_ptr<CResolver> CreateResolver();

namespace kelpd::dns {
// True when host resolves and its first address is not 127.0.0.1.
bool IsUsableMailHost(const std::string& host);
}  // namespace kelpd::dns
