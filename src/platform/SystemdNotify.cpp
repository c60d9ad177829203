#include "platform/SystemdNotify.h"

#include <errno.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/Environment.h"
#include "platform/UniqueFd.h"

namespace kelpd::platform {

namespace {

std::string NotifySocket() { return kelpd::base::EnvValueOr("NOTIFY_SOCKET", ""); }

}  // namespace

bool NotifySocketConfigured() { return !NotifySocket().empty(); }

bool SystemdNotify(const std::string& message) {
  const std::string path = NotifySocket();
  if (path.empty()) return true;
  const size_t len = path.size();
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  // Only absolute paths and abstract names are valid notification sockets.
  if ((path[0] != '/' && path[0] != '@') || len >= sizeof addr.sun_path) {
    errno = EINVAL;
    return false;
  }
  std::memcpy(addr.sun_path, path.data(), len);
  if (path[0] == '@') addr.sun_path[0] = '\0';
  socklen_t addr_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len +
                                              (path[0] == '@' ? 0 : 1));
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return false;
  ssize_t n;
  do {
    n = ::sendto(fd.get(), message.data(), message.size(), MSG_NOSIGNAL,
                 reinterpret_cast<struct sockaddr*>(&addr), addr_len);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(message.size());
}

}  // namespace kelpd::platform
