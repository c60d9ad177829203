#include "fakes/ScriptedDnsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace kelpd::testing {

namespace {

int64_t NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t Millis(const timespec& ts) {
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The monotonic time at which the kernel received a datagram, from its
// receive stamp on the real-time clock: a server thread that runs late on a
// busy machine does not move it.
int64_t ReceivedMs(msghdr& msg) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    timespec real{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    const int64_t age = Millis(real) - Millis(stamp);
    if (age >= 0) return NowMs() - age;
  }
  return NowMs();
}

sockaddr_in Addr(const std::string& address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  return sa;
}

int BindSocket(int type, const std::string& address, uint16_t port) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = Addr(address, port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

void ParseQuery(DnsQueryInfo& q) {
  const auto& b = q.bytes;
  if (b.size() < 12) return;
  q.id = static_cast<uint16_t>((b[0] << 8) | b[1]);
  size_t pos = 12;
  while (pos < b.size() && b[pos] != 0 && b[pos] < 64) {
    size_t len = b[pos];
    if (pos + 1 + len > b.size()) return;
    if (!q.name.empty()) q.name += '.';
    q.name.append(reinterpret_cast<const char*>(&b[pos + 1]), len);
    pos += 1 + len;
  }
  pos += 1;
  if (pos + 4 > b.size()) return;
  q.type = static_cast<uint16_t>((b[pos] << 8) | b[pos + 1]);
  q.cls = static_cast<uint16_t>((b[pos + 2] << 8) | b[pos + 3]);
}

bool ReadFull(int fd, uint8_t* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    ssize_t n = ::read(fd, buf + done, len - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void WriteFull(int fd, const uint8_t* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::send(fd, buf + done, len - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

ScriptedDnsServer::ScriptedDnsServer(DnsScript script, const std::string& address, uint16_t port)
    : script_(std::move(script)) {
  for (int attempt = 0; attempt < 50 && (udp_ < 0 || tcp_ < 0); ++attempt) {
    if (udp_ >= 0) ::close(udp_);
    udp_ = BindSocket(SOCK_DGRAM, address, port);
    if (udp_ < 0) continue;
    uint16_t p = BoundPort(udp_);
    tcp_ = BindSocket(SOCK_STREAM, address, p);
    if (tcp_ >= 0 && ::listen(tcp_, 16) != 0) {
      ::close(tcp_);
      tcp_ = -1;
    }
    port_ = p;
  }
  if (udp_ >= 0) {
    int one = 1;
    ::setsockopt(udp_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  }
  other_udp_ = BindSocket(SOCK_DGRAM, address, 0);
  if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
  if (ok()) thread_ = std::thread([this] { Run(); });
}

ScriptedDnsServer::~ScriptedDnsServer() {
  if (thread_.joinable()) {
    char c = 'x';
    (void)::write(wake_[1], &c, 1);
    thread_.join();
  }
  for (int fd : {udp_, other_udp_, tcp_, wake_[0], wake_[1]})
    if (fd >= 0) ::close(fd);
}

std::vector<DnsQueryInfo> ScriptedDnsServer::Queries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queries_;
}

void ScriptedDnsServer::SetScript(DnsScript script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
}

std::vector<DnsReplyAction> ScriptedDnsServer::Ask(DnsQueryInfo& q) {
  if (q.received_ms == 0) q.received_ms = NowMs();
  ParseQuery(q);
  std::lock_guard<std::mutex> lock(mutex_);
  queries_.push_back(q);
  return script_ ? script_(q) : std::vector<DnsReplyAction>{};
}

void ScriptedDnsServer::Run() {
  for (;;) {
    pollfd fds[3] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) continue;
    if (fds[2].revents) return;
    if (fds[0].revents & POLLIN) HandleUdp();
    if (fds[1].revents & POLLIN) HandleTcp();
  }
}

void ScriptedDnsServer::HandleUdp() {
  uint8_t buf[65536];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  iovec iov{buf, sizeof buf};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = len;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = ::recvmsg(udp_, &msg, 0);
  if (n < 0) return;
  len = msg.msg_namelen;
  DnsQueryInfo q;
  q.received_ms = ReceivedMs(msg);
  q.bytes.assign(buf, buf + n);
  for (const DnsReplyAction& a : Ask(q)) {
    if (a.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(a.delay_ms));
    int fd = a.from_other_port ? other_udp_ : udp_;
    ::sendto(fd, a.bytes.data(), a.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
  }
}

void ScriptedDnsServer::HandleTcp() {
  int conn = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn < 0) return;
  uint8_t len_bytes[2];
  if (ReadFull(conn, len_bytes, 2)) {
    size_t len = static_cast<size_t>((len_bytes[0] << 8) | len_bytes[1]);
    DnsQueryInfo q;
    q.tcp = true;
    q.bytes.resize(len);
    if (ReadFull(conn, q.bytes.data(), len)) {
      for (const DnsReplyAction& a : Ask(q)) {
        if (a.reset) {
          linger l{1, 0};
          ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
          break;
        }
        size_t announced =
            a.announced_length >= 0 ? static_cast<size_t>(a.announced_length) : a.bytes.size();
        uint8_t prefix[2] = {static_cast<uint8_t>(announced >> 8), static_cast<uint8_t>(announced)};
        WriteFull(conn, prefix, 2);
        WriteFull(conn, a.bytes.data(), a.bytes.size());
      }
    }
  }
  ::close(conn);
}

DnsAnswer::DnsAnswer(const DnsQueryInfo& q) {
  bytes_ = q.bytes;
  if (bytes_.size() < 12) bytes_.resize(12);
  // Keep the header and the first question only.
  size_t pos = 12;
  while (pos < bytes_.size() && bytes_[pos] != 0) pos += 1 + bytes_[pos];
  pos += 5;
  if (pos <= bytes_.size()) bytes_.resize(pos);
  bytes_[2] = static_cast<uint8_t>(0x80 | (bytes_[2] & 0x01));  // QR, RD kept
  bytes_[3] = 0x80;                                             // RA
  for (int i = 6; i < 12; ++i) bytes_[static_cast<size_t>(i)] = 0;
}

DnsAnswer& DnsAnswer::Rcode(int rcode) {
  bytes_[3] = static_cast<uint8_t>((bytes_[3] & 0xf0) | (rcode & 0x0f));
  return *this;
}

DnsAnswer& DnsAnswer::Truncated() {
  bytes_[2] |= 0x02;
  return *this;
}

DnsAnswer& DnsAnswer::Id(uint16_t id) {
  bytes_[0] = static_cast<uint8_t>(id >> 8);
  bytes_[1] = static_cast<uint8_t>(id);
  return *this;
}

std::vector<uint8_t> DnsAnswer::EncodeName(const std::string& name) {
  std::vector<uint8_t> out;
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out.push_back(static_cast<uint8_t>(dot - start));
    out.insert(out.end(), name.begin() + static_cast<long>(start),
               name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  out.push_back(0);
  return out;
}

DnsAnswer& DnsAnswer::Record(const std::string& owner, uint16_t type,
                             const std::vector<uint8_t>& rdata) {
  std::vector<uint8_t> n = EncodeName(owner);
  bytes_.insert(bytes_.end(), n.begin(), n.end());
  uint8_t fixed[10] = {
      static_cast<uint8_t>(type >> 8),         static_cast<uint8_t>(type),        0, 1, 0, 0, 0, 60,
      static_cast<uint8_t>(rdata.size() >> 8), static_cast<uint8_t>(rdata.size())};
  bytes_.insert(bytes_.end(), fixed, fixed + 10);
  bytes_.insert(bytes_.end(), rdata.begin(), rdata.end());
  uint16_t an = static_cast<uint16_t>(((bytes_[6] << 8) | bytes_[7]) + 1);
  bytes_[6] = static_cast<uint8_t>(an >> 8);
  bytes_[7] = static_cast<uint8_t>(an);
  return *this;
}

DnsAnswer& DnsAnswer::Raw(const std::vector<uint8_t>& bytes, int records) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  uint16_t an = static_cast<uint16_t>(((bytes_[6] << 8) | bytes_[7]) + records);
  bytes_[6] = static_cast<uint8_t>(an >> 8);
  bytes_[7] = static_cast<uint8_t>(an);
  return *this;
}

DnsAnswer& DnsAnswer::Mx(const std::string& owner, uint16_t preference,
                         const std::string& exchange) {
  std::vector<uint8_t> rdata = {static_cast<uint8_t>(preference >> 8),
                                static_cast<uint8_t>(preference)};
  std::vector<uint8_t> n = EncodeName(exchange);
  rdata.insert(rdata.end(), n.begin(), n.end());
  return Record(owner, 15, rdata);
}

DnsAnswer& DnsAnswer::A(const std::string& owner, const std::string& address) {
  in_addr a{};
  ::inet_pton(AF_INET, address.c_str(), &a);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&a.s_addr);
  return Record(owner, 1, std::vector<uint8_t>(p, p + 4));
}

DnsAnswer& DnsAnswer::Cname(const std::string& owner, const std::string& target) {
  return Record(owner, 5, EncodeName(target));
}

DnsAnswer& DnsAnswer::Txt(const std::string& owner, const std::string& text) {
  std::vector<uint8_t> rdata = {static_cast<uint8_t>(text.size())};
  rdata.insert(rdata.end(), text.begin(), text.end());
  return Record(owner, 16, rdata);
}

}  // namespace kelpd::testing
