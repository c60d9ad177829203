#include "platform/DnsTransport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>

#include "platform/Errors.h"
#include "platform/StopSignal.h"

namespace kelpd::platform {

namespace {

sockaddr_in ToSockaddr(const Ipv4Endpoint& e) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(e.port);
  sa.sin_addr.s_addr = e.address;
  return sa;
}

// Maps a WaitFd result to an error; 0 when the descriptor is ready.
int WaitError(WaitResult r) {
  switch (r) {
    case WaitResult::kReady:
      return 0;
    case WaitResult::kTimeout:
      return kDnsTimedOut;
    case WaitResult::kStopped:
      return kDnsStopped;
    case WaitResult::kError:
      break;
  }
  return SocketErrorFromErrno(errno);
}

UniqueFd OpenSocket(int type, int* error) {
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) *error = SocketErrorFromErrno(errno);
  return fd;
}

}  // namespace

int64_t MonotonicMillis() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

UniqueFd OpenDnsUdpSocket(int* error) { return OpenSocket(SOCK_DGRAM, error); }

UniqueFd OpenDnsTcpSocket(int* error) { return OpenSocket(SOCK_STREAM, error); }

DnsIo DnsSendTo(int fd, const void* data, size_t len, const Ipv4Endpoint& to) {
  sockaddr_in sa = ToSockaddr(to);
  for (;;) {
    ssize_t n = ::sendto(fd, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (n >= 0) return DnsIo{n, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      int e = WaitError(WaitFd(fd, POLLOUT, 5000));
      if (e != 0) return DnsIo{0, e};
      continue;
    }
    return DnsIo{0, SocketErrorFromErrno(errno)};
  }
}

DnsIo DnsRecvFrom(int fd, void* buf, size_t len, Ipv4Endpoint* from, int timeout_ms) {
  int64_t deadline = MonotonicMillis() + timeout_ms;
  for (;;) {
    int64_t left = deadline - MonotonicMillis();
    if (left < 0) left = 0;
    int e = WaitError(WaitFd(fd, POLLIN, static_cast<int>(left)));
    if (e != 0) return DnsIo{0, e};
    sockaddr_in sa{};
    socklen_t sl = sizeof sa;
    ssize_t n = ::recvfrom(fd, buf, len, 0, reinterpret_cast<sockaddr*>(&sa), &sl);
    if (n >= 0) {
      from->address = sa.sin_addr.s_addr;
      from->port = ntohs(sa.sin_port);
      return DnsIo{n, 0};
    }
    // A readiness that was taken away (or an interrupted call) waits for the time left.
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return DnsIo{0, SocketErrorFromErrno(errno)};
  }
}

int DnsConnect(int fd, const Ipv4Endpoint& to, int timeout_ms) {
  sockaddr_in sa = ToSockaddr(to);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return SocketErrorFromErrno(errno);
  int e = WaitError(WaitFd(fd, POLLOUT, timeout_ms));
  if (e != 0) return e;
  int so_error = 0;
  socklen_t sl = sizeof so_error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &sl) != 0)
    return SocketErrorFromErrno(errno);
  return so_error == 0 ? 0 : SocketErrorFromErrno(so_error);
}

DnsIo DnsSendAll(int fd, const void* data, size_t len, int timeout_ms) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::send(fd, p + done, len - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int e = WaitError(WaitFd(fd, POLLOUT, timeout_ms));
      if (e != 0) return DnsIo{static_cast<long>(done), e};
      continue;
    }
    return DnsIo{static_cast<long>(done), n < 0 ? SocketErrorFromErrno(errno) : kDnsClosed};
  }
  return DnsIo{static_cast<long>(done), 0};
}

DnsIo DnsRecvAll(int fd, void* buf, size_t len, int timeout_ms) {
  char* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::recv(fd, p + done, len - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return DnsIo{static_cast<long>(done), kDnsClosed};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      int e = WaitError(WaitFd(fd, POLLIN, timeout_ms));
      if (e != 0) return DnsIo{static_cast<long>(done), e};
      continue;
    }
    return DnsIo{static_cast<long>(done), SocketErrorFromErrno(errno)};
  }
  return DnsIo{static_cast<long>(done), 0};
}

bool RandomBytes(void* buf, size_t len) {
  char* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::getrandom(p + done, len - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace kelpd::platform
