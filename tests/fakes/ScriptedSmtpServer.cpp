#include "fakes/ScriptedSmtpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace kelpd::testing {

void ScriptedConnection::Send(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

int ScriptedConnection::ReadByte(int timeout_ms) {
  if (pending_.empty()) {
    struct pollfd p {
      fd_, POLLIN, 0
    };
    if (::poll(&p, 1, timeout_ms) != 1) return -1;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return -1;
    pending_.assign(buf, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(*mutex_);
    record_->append(buf, static_cast<size_t>(n));
  }
  unsigned char c = static_cast<unsigned char>(pending_[0]);
  pending_.erase(0, 1);
  return c;
}

std::string ScriptedConnection::ReadLine(int timeout_ms) { return ReadUntil("\n", timeout_ms); }

std::string ScriptedConnection::ReadUntil(const std::string& terminator, int timeout_ms) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < terminator.size() ||
         out.compare(out.size() - terminator.size(), terminator.size(), terminator) != 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) break;
    int c = ReadByte(static_cast<int>(left));
    if (c < 0) break;
    out += static_cast<char>(c);
  }
  return out;
}

void ScriptedConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void ScriptedConnection::Silence(int ms) { (void)ClientClosed(ms); }

bool ScriptedConnection::ClientClosed(int ms) {
  struct pollfd p {
    fd_, POLLIN, 0
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    if (::poll(&p, 1, static_cast<int>(left)) != 1) return false;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;  // the client gave up
    std::lock_guard<std::mutex> lock(*mutex_);
    record_->append(buf, static_cast<size_t>(n));
  }
}

ScriptedSmtpServer::ScriptedSmtpServer(Handler handler, int max_connections,
                                       const std::string& address, uint16_t port)
    : handler_(std::move(handler)), max_connections_(max_connections) {
  // An address with a colon is IPv6 ("::1").
  const bool v6 = address.find(':') != std::string::npos;
  listen_fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket failed");
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_storage storage {};
  auto* a4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&storage);
  socklen_t len = v6 ? sizeof *a6 : sizeof *a4;
  if (v6) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(port);
  } else {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(port);
  }
  if (::inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(),
                  v6 ? static_cast<void*>(&a6->sin6_addr) : &a4->sin_addr) != 1) {
    ::close(listen_fd_);
    throw std::runtime_error("bad listening address " + address);
  }
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&storage), len) != 0 ||
      ::listen(listen_fd_, 16) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("bind/listen failed on " + address);
  }
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&storage), &len);
  port_ = ntohs(v6 ? a6->sin6_port : a4->sin_port);
  received_.resize(static_cast<size_t>(max_connections));
  thread_ = std::thread([this] { Serve(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  ::close(listen_fd_);
}

void ScriptedSmtpServer::Serve() {
  for (int i = 0; i < max_connections_ && !stop_; ++i) {
    int fd = -1;
    while (!stop_) {
      struct pollfd p {
        listen_fd_, POLLIN, 0
      };
      if (::poll(&p, 1, 100) == 1) {
        fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        break;
      }
    }
    if (fd < 0) return;
    connections_++;
    ScriptedConnection c(fd, &received_[static_cast<size_t>(i)], &mutex_);
    handler_(c, i);
    c.Close();
  }
}

std::string ScriptedSmtpServer::Received(int i) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (i < 0 || i >= static_cast<int>(received_.size())) return {};
  return received_[static_cast<size_t>(i)];
}

void ScriptedSmtpServer::Join(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (connections_ < max_connections_ && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::string ReplyLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\r\n";
  return out;
}

void ServeScript(ScriptedConnection& c, const SmtpScript& s) {
  c.Send(s.greeting + "\r\n");
  if (s.greeting.rfind("220", 0) != 0) {
    if (!c.ReadLine(2000).empty()) c.Send("221 bye\r\n");
    return;
  }
  for (;;) {
    std::string line = c.ReadLine(5000);
    if (line.empty()) return;
    std::string verb = line.substr(0, 4);
    if (verb == "EHLO") {
      c.Send(ReplyLines(s.ehlo));
      continue;
    }
    if (verb == "QUIT") {
      c.Send("221 bye\r\n");
      return;
    }
    auto it = s.replies.find(verb);
    if (it != s.replies.end()) {
      c.Send(it->second + "\r\n");
    } else if (verb == "AUTH") {
      c.Send("235 ok\r\n");
    } else if (verb == "DATA") {
      c.Send("354 go\r\n");
      c.ReadUntil("\r\n.\r\n");
      c.Send("250 queued\r\n");
      if (s.close_after_data) {
        c.Close();
        return;
      }
    } else {
      c.Send("250 ok\r\n");
    }
  }
}

}  // namespace kelpd::testing
