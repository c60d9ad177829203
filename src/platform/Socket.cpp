#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/StopSignal.h"

namespace kelpd::platform {

static_assert(kSocketStream == SOCK_STREAM && kSocketDatagram == SOCK_DGRAM);
static_assert(kShutdownReceive == SHUT_RD && kShutdownSend == SHUT_WR &&
              kShutdownBoth == SHUT_RDWR);
static_assert(kMessageOutOfBand == MSG_OOB && kMessagePeek == MSG_PEEK);
static_assert(kWaitReadable == POLLIN && kWaitWritable == POLLOUT);
static_assert(kAnyAddress == INADDR_ANY && kBroadcastAddress == INADDR_BROADCAST);

namespace {

// A socket address in the kernel's form for either family.
struct Sockaddr {
  struct sockaddr_storage storage {};
  socklen_t len = 0;
  struct sockaddr* get() {
    return reinterpret_cast<struct sockaddr*>(&storage);
  }
};

Sockaddr ToSockaddr(const SocketAddress& a) {
  Sockaddr out;
  if (a.ip.IsV6()) {
    auto* sa = reinterpret_cast<struct sockaddr_in6*>(&out.storage);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(a.port);
    std::memcpy(&sa->sin6_addr, a.ip.bytes.data(), sizeof sa->sin6_addr);
    out.len = sizeof *sa;
  } else {
    auto* sa = reinterpret_cast<struct sockaddr_in*>(&out.storage);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(a.port);
    sa->sin_addr.s_addr = a.ip.ipv4();
    out.len = sizeof *sa;
  }
  return out;
}

// False for a family other than IPv4 and IPv6.
bool FromSockaddr(const struct sockaddr_storage& storage, SocketAddress* out) {
  if (storage.ss_family == AF_INET6) {
    const auto* sa = reinterpret_cast<const struct sockaddr_in6*>(&storage);
    out->ip = IpAddress{};
    out->ip.family = kAddressFamilyIPv6;
    std::memcpy(out->ip.bytes.data(), &sa->sin6_addr, sizeof sa->sin6_addr);
    out->port = ntohs(sa->sin6_port);
    return true;
  }
  if (storage.ss_family != AF_INET) return false;
  const auto* sa = reinterpret_cast<const struct sockaddr_in*>(&storage);
  out->ip = IpAddress::V4(sa->sin_addr.s_addr);
  out->port = ntohs(sa->sin_port);
  return true;
}

SocketAddress Widen(const SocketAddressV4& a) {
  return SocketAddress{IpAddress::V4(a.ipv4), a.port};
}

}  // namespace

int OpenSocket(int family, int type, int protocol, int* fd) {
  *fd = ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  return *fd < 0 ? errno : 0;
}

int BindSocket(int fd, const SocketAddress& local) {
  Sockaddr sa = ToSockaddr(local);
  return ::bind(fd, sa.get(), sa.len) == 0 ? 0 : errno;
}

int BindSocket(int fd, const SocketAddressV4& local) { return BindSocket(fd, Widen(local)); }

int ListenSocket(int fd, int backlog) { return ::listen(fd, backlog) == 0 ? 0 : errno; }

int AcceptSocket(int fd, int* accepted, SocketAddress* peer) {
  struct sockaddr_storage sa {};
  socklen_t len = sizeof sa;
  int r;
  do {
    r = ::accept4(fd, reinterpret_cast<struct sockaddr*>(&sa), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (r < 0 && errno == EINTR);
  *accepted = r;
  if (r < 0) return errno;
  if (peer != nullptr) (void)FromSockaddr(sa, peer);
  return 0;
}

int AcceptSocket(int fd, int* accepted, SocketAddressV4* peer) {
  SocketAddress wide;
  const int err = AcceptSocket(fd, accepted, &wide);
  if (err == 0 && peer != nullptr) *peer = SocketAddressV4{wide.ip.ipv4(), wide.port};
  return err;
}

int ConnectSocket(int fd, const SocketAddressV4& remote, int timeout_ms) {
  return ConnectSocket(fd, Widen(remote), timeout_ms);
}

int ConnectSocket(int fd, const SocketAddress& remote, int timeout_ms) {
  Sockaddr sa = ToSockaddr(remote);
  if (::connect(fd, sa.get(), sa.len) == 0) return 0;
  // On a non-blocking socket an interrupted connect goes on in the background,
  // just as one in progress does; both are waited for.
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  switch (WaitFd(fd, POLLOUT, timeout_ms)) {
    case WaitResult::kReady:
      break;
    case WaitResult::kTimeout:
      return ETIMEDOUT;
    case WaitResult::kStopped:
      return ECONNABORTED;
    case WaitResult::kError:
      return errno;
  }
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
  return error;
}

int ReceiveSome(int fd, void* buf, size_t size, int flags, size_t* received) {
  ssize_t n;
  do {
    n = ::recv(fd, buf, size, flags);
  } while (n < 0 && errno == EINTR);
  *received = n < 0 ? 0 : static_cast<size_t>(n);
  return n < 0 ? errno : 0;
}

int SendSome(int fd, const void* data, size_t len, int flags, size_t* sent) {
  ssize_t n;
  do {
    n = ::send(fd, data, len, flags | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  *sent = n < 0 ? 0 : static_cast<size_t>(n);
  return n < 0 ? errno : 0;
}

int SendDatagram(int fd, const void* data, size_t len, int flags, const SocketAddressV4& remote,
                 size_t* sent) {
  *sent = 0;
  if (remote.ipv4 == kBroadcastAddress) {
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return errno;
  }
  Sockaddr sa = ToSockaddr(Widen(remote));
  ssize_t n;
  do {
    n = ::sendto(fd, data, len, flags | MSG_NOSIGNAL, sa.get(), sa.len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  *sent = static_cast<size_t>(n);
  return 0;
}

int LocalAddress(int fd, SocketAddress* local) {
  struct sockaddr_storage sa {};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return errno;
  return FromSockaddr(sa, local) ? 0 : EAFNOSUPPORT;
}

int LocalAddress(int fd, SocketAddressV4* local) {
  SocketAddress wide;
  if (int err = LocalAddress(fd, &wide)) return err;
  if (wide.ip.IsV6()) return EAFNOSUPPORT;
  *local = SocketAddressV4{wide.ip.ipv4(), wide.port};
  return 0;
}

int ShutdownSocket(int fd, int how) { return ::shutdown(fd, how) == 0 ? 0 : errno; }

int CloseSocket(int fd) {
  // Never retried: the descriptor is gone even when close reports EINTR, and a
  // second close could hit a descriptor another thread has opened meanwhile.
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace kelpd::platform
