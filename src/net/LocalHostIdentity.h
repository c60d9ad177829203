// The name and address by which this host introduces itself in Received
// headers and failure reports. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/IpAddress.h"

// Asks the system for the local host name. When that fails the name is
// "unknown" and the address "0.0.0.0". Otherwise the name is resolved: on
// success name is its canonical name and address its first IPv4 address in
// dotted form ("0.0.0.0" when the answer holds none); when it does not
// resolve, name is the plain host name and address "0.0.0.0".
void GetLocalHostIdentity(std::string& address, std::string& name);

namespace kelpd::net {

// The name a session from the local address introduces itself by (EHLO):
// the address's reverse name, else the host name, else "localhost". The
// look-up, which nothing interrupts, is made once per address and kept for
// an hour (a failed one as well), for every thread.
std::string HelloNameFor(const kelpd::platform::IpAddress& local);

// Replaces the look-up behind HelloNameFor and forgets what it kept; an
// empty function restores the system's (tests).
void SetHelloNameLookupForTests(
    std::function<std::string(const kelpd::platform::IpAddress&)> lookup);

}  // namespace kelpd::net
