#include "platform/SignalSafe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "platform/FdIO.h"

namespace kelpd::platform {

int64_t SignalSafeRealtimeSeconds() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}

void SignalSafeSendDatagram(uint32_t ipv4, uint16_t port, const void* data, size_t len) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  struct sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = ipv4;
  (void)::sendto(fd, data, len, MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
  ::close(fd);
}

void SignalSafeWriteStderr(const void* data, size_t len) { (void)WriteAll(2, data, len); }

}  // namespace kelpd::platform
