// Unix datagram sockets: the local syslog socket the log target writes to, and
// the receivers that stand in for it in tests. Every socket is close-on-exec
// and non-blocking, so a receiver that does not keep up costs a dropped
// message, never a stalled writer. Functions return 0 or the errno value.
#pragma once

#include <cstddef>
#include <string>

namespace kelpd::platform {

// The longest socket path (sun_path without its terminating zero).
constexpr size_t kMaxLocalSocketPath = 107;

// A datagram socket connected to the socket at path; *fd is -1 on failure
// (ENAMETOOLONG for a path longer than kMaxLocalSocketPath).
[[nodiscard]] int ConnectLocalDatagram(const std::string& path, int* fd);
// One send on a connected socket, without waiting and without SIGPIPE.
[[nodiscard]] int SendLocalDatagram(int fd, const void* data, size_t len);
// A datagram socket bound to path (which must not exist).
[[nodiscard]] int BindLocalDatagram(const std::string& path, int* fd);
// One receive; EAGAIN when nothing is waiting.
[[nodiscard]] int ReceiveLocalDatagram(int fd, void* buf, size_t size, size_t* received);

// Sends one datagram from a fresh socket to path; false when it could not be
// sent. Async-signal-safe; path is a zero-terminated string.
bool SignalSafeSendLocalDatagram(const char* path, const void* data, size_t len);

}  // namespace kelpd::platform
