#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/StopSignal.h"

namespace kelpd::platform {

static_assert(kAddressFamilyIPv4 == AF_INET);
static_assert(kSocketStream == SOCK_STREAM && kSocketDatagram == SOCK_DGRAM);
static_assert(kShutdownReceive == SHUT_RD && kShutdownSend == SHUT_WR &&
              kShutdownBoth == SHUT_RDWR);
static_assert(kMessageOutOfBand == MSG_OOB && kMessagePeek == MSG_PEEK);
static_assert(kWaitReadable == POLLIN && kWaitWritable == POLLOUT);
static_assert(kAnyAddress == INADDR_ANY && kBroadcastAddress == INADDR_BROADCAST);

namespace {

struct sockaddr_in ToSockaddr(const SocketAddressV4& a) {
  struct sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(a.port);
  sa.sin_addr.s_addr = a.ipv4;
  return sa;
}

SocketAddressV4 FromSockaddr(const struct sockaddr_in& sa) {
  return SocketAddressV4{sa.sin_addr.s_addr, ntohs(sa.sin_port)};
}

}  // namespace

int OpenSocket(int family, int type, int protocol, int* fd) {
  *fd = ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  return *fd < 0 ? errno : 0;
}

int BindSocket(int fd, const SocketAddressV4& local) {
  struct sockaddr_in sa = ToSockaddr(local);
  return ::bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
}

int ListenSocket(int fd, int backlog) { return ::listen(fd, backlog) == 0 ? 0 : errno; }

int AcceptSocket(int fd, int* accepted, SocketAddressV4* peer) {
  struct sockaddr_in sa {};
  socklen_t len = sizeof sa;
  int r;
  do {
    r = ::accept4(fd, reinterpret_cast<struct sockaddr*>(&sa), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (r < 0 && errno == EINTR);
  *accepted = r;
  if (r < 0) return errno;
  if (peer != nullptr) *peer = FromSockaddr(sa);
  return 0;
}

int ConnectSocket(int fd, const SocketAddressV4& remote, int timeout_ms) {
  struct sockaddr_in sa = ToSockaddr(remote);
  if (::connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) == 0) return 0;
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
  struct sockaddr_in sa = ToSockaddr(remote);
  ssize_t n;
  do {
    n = ::sendto(fd, data, len, flags | MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&sa),
                 sizeof sa);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  *sent = static_cast<size_t>(n);
  return 0;
}

int LocalAddress(int fd, SocketAddressV4* local) {
  struct sockaddr_in sa {};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return errno;
  if (sa.sin_family != AF_INET) return EAFNOSUPPORT;
  *local = FromSockaddr(sa);
  return 0;
}

int ShutdownSocket(int fd, int how) { return ::shutdown(fd, how) == 0 ? 0 : errno; }

int CloseSocket(int fd) {
  // Never retried: the descriptor is gone even when close reports EINTR, and a
  // second close could hit a descriptor another thread has opened meanwhile.
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace kelpd::platform
