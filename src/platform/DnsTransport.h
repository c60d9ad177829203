// The socket calls of the built-in DNS resolver: one UDP or TCP socket per
// query, IPv4 only. Every wait goes through WaitFd, so it wakes on the calling
// worker's stop request. Errors are socket error numbers (10000 and up, see
// Errors.h); kDnsStopped marks a wait that ended because the worker is asked
// to stop. Thread-safe: no shared state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/UniqueFd.h"

namespace kelpd::platform {

// An IPv4 socket address: address in network order, port in host order.
struct Ipv4Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;
  bool operator==(const Ipv4Endpoint&) const = default;
};

// The error of a wait that the worker's stop request ended (WSAEINTR).
constexpr int kDnsStopped = 10004;
// The error of a wait that ran out (WSAETIMEDOUT).
constexpr int kDnsTimedOut = 10060;
// The error of a TCP peer that closed the connection early (WSAECONNABORTED).
constexpr int kDnsClosed = 10053;

// Result of one transport step: bytes moved, or error (0 when none).
struct DnsIo {
  long bytes = 0;
  int error = 0;
  bool ok() const { return error == 0; }
};

// Opens an unbound UDP or TCP socket, close-on-exec and non-blocking.
// Returns an invalid descriptor and sets *error on failure.
UniqueFd OpenDnsUdpSocket(int* error);
UniqueFd OpenDnsTcpSocket(int* error);

// Sends one datagram. A short send is reported as bytes < len.
DnsIo DnsSendTo(int fd, const void* data, size_t len, const Ipv4Endpoint& to);

// Waits up to timeout_ms for a datagram and receives it (at most len bytes),
// storing its source in *from. Time-out: kDnsTimedOut.
DnsIo DnsRecvFrom(int fd, void* buf, size_t len, Ipv4Endpoint* from, int timeout_ms);

// Connects a TCP socket, waiting at most timeout_ms.
int DnsConnect(int fd, const Ipv4Endpoint& to, int timeout_ms);

// Sends all len bytes (MSG_NOSIGNAL), each wait at most timeout_ms.
DnsIo DnsSendAll(int fd, const void* data, size_t len, int timeout_ms);

// Receives exactly len bytes, each wait at most timeout_ms. A peer that
// closes before len bytes arrived gives kDnsClosed.
DnsIo DnsRecvAll(int fd, void* buf, size_t len, int timeout_ms);

// Fills buf with bytes from the kernel's random source (getrandom). Returns
// false when none could be had.
bool RandomBytes(void* buf, size_t len);

// Milliseconds of a monotonic clock.
int64_t MonotonicMillis();

}  // namespace kelpd::platform
