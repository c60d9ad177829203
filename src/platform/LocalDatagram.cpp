#include "platform/LocalDatagram.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelpd::platform {

namespace {

bool FillAddress(const char* path, size_t len, struct sockaddr_un& address) {
  if (len == 0 || len > kMaxLocalSocketPath || len >= sizeof address.sun_path) return false;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path, len);
  return true;
}

int OpenOn(const std::string& path, int* fd, bool bind) {
  *fd = -1;
  struct sockaddr_un address;
  if (path.find('\0') != std::string::npos) return EINVAL;
  if (!FillAddress(path.c_str(), path.size(), address)) return ENAMETOOLONG;
  int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return errno;
  const auto* sa = reinterpret_cast<const struct sockaddr*>(&address);
  int rc = bind ? ::bind(s, sa, sizeof address) : ::connect(s, sa, sizeof address);
  if (rc != 0) {
    int err = errno;
    ::close(s);
    return err;
  }
  *fd = s;
  return 0;
}

}  // namespace

int ConnectLocalDatagram(const std::string& path, int* fd) { return OpenOn(path, fd, false); }

int BindLocalDatagram(const std::string& path, int* fd) { return OpenOn(path, fd, true); }

int SendLocalDatagram(int fd, const void* data, size_t len) {
  for (;;) {
    if (::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

int ReceiveLocalDatagram(int fd, void* buf, size_t size, size_t* received) {
  *received = 0;
  for (;;) {
    ssize_t n = ::recv(fd, buf, size, MSG_DONTWAIT);
    if (n >= 0) {
      *received = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

bool SignalSafeSendLocalDatagram(const char* path, const void* data, size_t len) {
  struct sockaddr_un address;
  if (!FillAddress(path, ::strnlen(path, kMaxLocalSocketPath + 1), address)) return false;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t n = ::sendto(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT,
                       reinterpret_cast<const struct sockaddr*>(&address), sizeof address);
  ::close(fd);
  return n >= 0;
}

}  // namespace kelpd::platform
