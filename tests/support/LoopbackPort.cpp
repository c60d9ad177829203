#include "support/LoopbackPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/UniqueFd.h"

namespace kelpd::testing {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

int PickFreeLoopbackPort() {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return 0;
  sockaddr_in addr = Loopback(0);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
  socklen_t len = sizeof addr;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

std::string FreeLoopbackAddress(int first, int port) {
  for (int last = first; last < first + 10 && last < 255; ++last) {
    const std::string address = "127.0.0." + std::to_string(last);
    bool free = true;
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
      platform::UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
      sockaddr_in sa = Loopback(port);
      ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
      int one = 1;
      ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      free =
          free && fd.valid() && ::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    if (free) return address;
  }
  return "";
}

bool IsListening(int port) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);  // column titles
  char loopback[16], any[16];
  std::snprintf(loopback, sizeof loopback, "0100007F:%04X", port);
  std::snprintf(any, sizeof any, "00000000:%04X", port);
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state)) continue;
    if (state == "0A" && (local == loopback || local == any)) return true;
  }
  return false;
}

bool WaitForListening(int port, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!IsListening(port)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string ReadSmtpGreeting(int port, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return {};
  sockaddr_in addr = Loopback(port);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return {};
    pollfd p{fd.get(), POLLOUT, 0};
    if (::poll(&p, 1, RemainingMs(deadline)) != 1) return {};
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) return {};
  }
  std::string reply;
  while (true) {
    // A complete reply: its last line has a blank after the code.
    size_t start = 0;
    bool complete = false;
    for (size_t eol; (eol = reply.find("\r\n", start)) != std::string::npos; start = eol + 2) {
      if (eol - start >= 4 && reply[start + 3] == ' ') complete = true;
      if (eol - start == 3) complete = true;
    }
    if (complete) break;
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, RemainingMs(deadline)) != 1) return {};
    char buf[1024];
    ssize_t got = ::recv(fd.get(), buf, sizeof buf, 0);
    if (got <= 0) return {};
    reply.append(buf, static_cast<size_t>(got));
    if (reply.size() > 64 * 1024) return {};
  }
  static constexpr char kQuit[] = "QUIT\r\n";
  (void)!::send(fd.get(), kQuit, sizeof kQuit - 1, MSG_NOSIGNAL);
  return reply;
}

}  // namespace kelpd::testing
