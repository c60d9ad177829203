// Loopback ports for the test peers: picking a free one (or a free address
// for a fixed port), waiting until a
// server listens on one, and reading an SMTP greeting.
#pragma once

#include <chrono>
#include <string>

namespace kelpd::testing {

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's pick for a
// bound and closed socket). Another process may take it before the caller
// binds it; the peers retry with a new port when their start fails on that.
// 0 when no socket could be bound.
int PickFreeLoopbackPort();

// A loopback address 127.0.0.<first>..127.0.0.<first+9> on which port is
// free for both UDP and TCP a moment ago (for peers that must use a fixed
// port such as 53 or 25); empty when none is.
std::string FreeLoopbackAddress(int first, int port);

// Whether some socket listens on 127.0.0.1:port or on any IPv4 address with
// that port (read from /proc/net/tcp; no connection is made).
bool IsListening(int port);
// Waits up to timeout for IsListening(port).
bool WaitForListening(int port, std::chrono::milliseconds timeout);

// Connects to 127.0.0.1:port, reads the first complete SMTP reply (all lines
// up to one whose fourth character is a blank), sends QUIT and closes. The
// reply text, or empty when nothing complete arrived before the time-out.
std::string ReadSmtpGreeting(int port, std::chrono::milliseconds timeout);

}  // namespace kelpd::testing
