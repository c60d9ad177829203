#include "support/DnsmasqServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "support/LoopbackPort.h"
#include "support/WaitFor.h"

namespace kelpd::testing {

namespace {

// True when a TCP connection to address:53 is accepted.
bool Listening(const std::string& address) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(53);
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

DnsmasqServer::DnsmasqServer(const TempDir& dir, const std::string& zone) {
  using namespace std::chrono_literals;
  address_ = FreeLoopbackAddress(53, 53);
  if (address_.empty()) return;
  std::string conf = dir.WriteFile(
      "dnsmasq.conf", "no-resolv\nno-hosts\nport=53\nlisten-address=" + address_ +
                          "\nbind-interfaces\nlocal=/test.example/\nlocal=/kelpd.test/\n" + zone);
  std::vector<std::string> args = {"dnsmasq", "--keep-in-foreground",
                                   "--pid-file=", "--conf-file=" + conf,
                                   "--log-facility=" + dir.Join("log")};
  for (const char* path : {"/usr/sbin/dnsmasq", "/usr/bin/dnsmasq"}) {
    if (::access(path, X_OK) != 0) continue;
    args[0] = path;
    std::string error;
    ready_ = process_.Start(args, &error) && WaitFor([&] { return Listening(address_); }, 5s, 50ms);
    break;
  }
}

}  // namespace kelpd::testing
