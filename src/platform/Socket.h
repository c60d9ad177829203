// Thin wrappers over the BSD socket calls, IPv4 and IPv6. Every socket is opened
// close-on-exec and non-blocking: a caller waits for readiness with WaitFd
// (which also wakes on the worker's stop request) and then makes one call.
// Every function returns 0 on success or the errno value of the failure and
// never throws; callers turn errno into the service's socket error numbers with
// SocketErrorFromErrno. EINTR is retried inside. Thread-safe as the system calls
// are; a descriptor belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/IpAddress.h"

namespace kelpd::platform {

// The values of the socket constants, for code outside this folder.
constexpr int kSocketStream = 1;      // SOCK_STREAM
constexpr int kSocketDatagram = 2;    // SOCK_DGRAM
constexpr int kShutdownReceive = 0;   // SHUT_RD
constexpr int kShutdownSend = 1;      // SHUT_WR
constexpr int kShutdownBoth = 2;      // SHUT_RDWR
constexpr int kMessageOutOfBand = 1;  // MSG_OOB
constexpr int kMessagePeek = 2;       // MSG_PEEK

// The poll events WaitFd takes, for code outside this folder.
constexpr short kWaitReadable = 0x001;  // POLLIN
constexpr short kWaitWritable = 0x004;  // POLLOUT

constexpr uint32_t kAnyAddress = 0;                 // INADDR_ANY
constexpr uint32_t kBroadcastAddress = 0xFFFFFFFF;  // INADDR_BROADCAST (same in either order)

// How long establishing a TCP connection may take: three SYNs with their
// back-off, about 21 seconds, so a host that never answers costs the same
// everywhere.
constexpr int kConnectTimeoutMs = 21000;

// An IPv4 socket address, for the datagram sockets that stay IPv4 only.
struct SocketAddressV4 {
  uint32_t ipv4 = 0;  // network byte order
  uint16_t port = 0;  // host byte order
};

// socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol); *fd is -1 on failure.
[[nodiscard]] int OpenSocket(int family, int type, int protocol, int* fd);

// The address's family must be the socket's.
[[nodiscard]] int BindSocket(int fd, const SocketAddress& local);
[[nodiscard]] int BindSocket(int fd, const SocketAddressV4& local);

// Listening and accepting, for the loopback peers of the tests (the service
// itself never listens). The accepted socket is close-on-exec and non-blocking;
// with no pending connection AcceptSocket returns EAGAIN at once.
[[nodiscard]] int ListenSocket(int fd, int backlog);
[[nodiscard]] int AcceptSocket(int fd, int* accepted, SocketAddress* peer);
[[nodiscard]] int AcceptSocket(int fd, int* accepted, SocketAddressV4* peer);

// Connects and waits until the connection is established, at most timeout_ms
// (-1: no limit). Running out gives ETIMEDOUT; a stop request of the calling
// worker ends the wait with ECONNABORTED; a refused or failed connection gives
// its own errno (ECONNREFUSED, ENETUNREACH, ...).
[[nodiscard]] int ConnectSocket(int fd, const SocketAddress& remote, int timeout_ms);
[[nodiscard]] int ConnectSocket(int fd, const SocketAddressV4& remote, int timeout_ms);

// One recv. *received is the count, 0 when the peer has closed the connection.
// EAGAIN when nothing is there yet.
[[nodiscard]] int ReceiveSome(int fd, void* buf, size_t size, int flags, size_t* received);

// One send with MSG_NOSIGNAL (a closed peer gives EPIPE, never SIGPIPE).
// *sent may be short of len; EAGAIN when the send buffer is full.
[[nodiscard]] int SendSome(int fd, const void* data, size_t len, int flags, size_t* sent);

// One sendto with MSG_NOSIGNAL. Sending to kBroadcastAddress sets SO_BROADCAST first.
[[nodiscard]] int SendDatagram(int fd, const void* data, size_t len, int flags,
                               const SocketAddressV4& remote, size_t* sent);

// getsockname; the V4 form gives EAFNOSUPPORT for an IPv6 socket.
[[nodiscard]] int LocalAddress(int fd, SocketAddress* local);
[[nodiscard]] int LocalAddress(int fd, SocketAddressV4* local);

[[nodiscard]] int ShutdownSocket(int fd, int how);

// close. The descriptor is released even when an error is returned (Linux
// frees it before reporting EINTR or EIO), so it must never be closed again.
[[nodiscard]] int CloseSocket(int fd);

}  // namespace kelpd::platform
