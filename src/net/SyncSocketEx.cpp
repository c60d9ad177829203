#include "net/SyncSocketEx.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <utility>

#include "log/Log.h"
#include "net/ErrorTexts.h"
#include "platform/DnsTransport.h"
#include "platform/Errors.h"
#include "platform/HostLookup.h"
#include "platform/StopSignal.h"

namespace platform = kelpd::platform;

namespace {

constexpr int kErrorTimedOut = 10053;             // a wait ran out (or the worker stops)
constexpr int kErrorInvalid = 10022;              // bad argument; SendTo's unresolvable host
constexpr int kErrorBadAddress = 10014;           // a buffer that is not there
constexpr int kErrorNotSocket = 10038;            // no socket is open
constexpr int kErrorAlreadyOpen = 10048;          // Socket while one is open
constexpr int kErrorHostNotFound = 11001;         // Connect's and Bind's unresolvable host
constexpr int kErrorNoAddress = 11004;            // a host without an address to try
constexpr int kErrorAddressNotAvailable = 10049;  // a bind to an address that is gone

[[noreturn]] void ThrowErrno(int err) {
  throw CSocketException(platform::SocketErrorFromErrno(err));
}

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

int SecondsToMs(int seconds) {
  if (seconds < 0) return -1;
  if (seconds > INT_MAX / 1000) return INT_MAX;
  return seconds * 1000;
}

// The address to bind to: a literal, or the first IPv4 address of a name,
// else its first IPv6 address.
std::optional<platform::IpAddress> InterfaceAddress(const char* address) {
  const std::vector<platform::IpAddress> all = platform::ResolveAll(address);
  for (const platform::IpAddress& a : all)
    if (!a.IsV6()) return a;
  if (all.empty()) return std::nullopt;
  return all.front();
}

// A stream socket that is to connect from any address and port is bound by
// the connect itself.
bool NeedsNoBind(int type, unsigned port, const std::optional<platform::IpAddress>& local) {
  return type == platform::kSocketStream && port == 0 && !local;
}

bool Stopping() {
  const platform::StopSignal* signal = platform::CurrentStopSignal();
  return signal != nullptr && signal->IsRaised();
}

}  // namespace

CSyncSocketEx::~CSyncSocketEx() { (void)CloseNow(); }

bool CSyncSocketEx::CloseNow() {
  deadline_ms_ = -1;
  if (m_hSocket < 0) return false;
  // The descriptor is released whatever close reports; keeping it would make a
  // later close hit a descriptor that another thread may have opened since.
  int fd = std::exchange(m_hSocket, -1);
  return platform::CloseSocket(fd) == 0;
}

bool CSyncSocketEx::Close() { return CloseNow(); }

bool CSyncSocketEx::Socket(int type, int protocol, int family) {
  if (m_hSocket >= 0) throw CSocketException(kErrorAlreadyOpen);
  int fd = -1;
  if (int err = platform::OpenSocket(family, type, protocol, &fd)) ThrowErrno(err);
  m_hSocket = fd;
  family_ = family;
  type_ = type;
  return true;
}

bool CSyncSocketEx::Create(unsigned port, int type, const char* address) {
  std::optional<platform::IpAddress> local;
  const bool named = address != nullptr && address[0] != '\0';
  if (named) local = InterfaceAddress(address);
  // An address that does not resolve is reported by Bind, after the socket
  // is made, as it always was.
  if (!Socket(type, 0, local ? local->family : platform::kAddressFamilyIPv4)) return false;
  local_port_ = port;
  local_.reset();
  if (named && !local) throw CSocketException(kErrorHostNotFound);
  local_ = local;
  if (NeedsNoBind(type, port, local)) return true;
  return BindTo(port, local);
}

bool CSyncSocketEx::Bind(unsigned port, const char* address) {
  std::optional<platform::IpAddress> local;
  if (address != nullptr && address[0] != '\0') {
    local = InterfaceAddress(address);
    if (!local) throw CSocketException(kErrorHostNotFound);
  }
  return BindTo(port, local);
}

bool CSyncSocketEx::BindTo(unsigned port, const std::optional<platform::IpAddress>& local) {
  if (port > 65535) return false;
  platform::SocketAddress any;
  if (family_ == platform::kAddressFamilyIPv6) any.ip.family = platform::kAddressFamilyIPv6;
  platform::SocketAddress where = local ? platform::SocketAddress{*local, 0} : any;
  where.port = static_cast<uint16_t>(port);
  return platform::BindSocket(m_hSocket, where) == 0;
}

bool CSyncSocketEx::GetSockName(platform::SocketAddress& addr) {
  if (int err = platform::LocalAddress(m_hSocket, &addr)) ThrowErrno(err);
  return true;
}

bool CSyncSocketEx::GetSockName(std::string& address, unsigned& port) {
  platform::SocketAddress local;
  GetSockName(local);
  address = platform::FormatIpAddress(local.ip);
  port = local.port;
  return true;
}

bool CSyncSocketEx::ShutDown(int how) { return platform::ShutdownSocket(m_hSocket, how) == 0; }

bool CSyncSocketEx::Connect(const platform::SocketAddress& addr) {
  if (int err = platform::ConnectSocket(m_hSocket, addr, platform::kConnectTimeoutMs))
    ThrowErrno(err);
  return true;
}

bool CSyncSocketEx::Connect(const char* host, unsigned port) {
  const bool known = std::exchange(known_, false);
  if (host == nullptr) throw CSocketException(kErrorHostNotFound);
  const std::vector<platform::IpAddress> all =
      known && known_host_ == host ? std::move(known_addresses_) : platform::ResolveAll(host);
  known_addresses_.clear();
  if (all.empty()) throw CSocketException(kErrorHostNotFound);
  if (port > 65535) throw CSocketException(kErrorInvalid);
  std::optional<int> local_family;
  if (local_) local_family = local_->family;
  const std::vector<platform::IpAddress> tries =
      kelpd::net::AddressesToTry(all, address_order_, local_family);
  if (tries.empty()) {
    Warning(MainLog(), "no address of %s is left to connect to: AddressFamily is %s%s%s", host,
            kelpd::net::AddressOrderName(address_order_), local_ ? ", Interface is " : "",
            local_ ? platform::FormatAddressLiteral(*local_).c_str() : "");
    throw CSocketException(kErrorNoAddress);
  }
  for (size_t i = 0; i < tries.size(); ++i) {
    if (i > 0 || (m_hSocket >= 0 && family_ != tries[i].family)) {
      // A socket whose connection failed is not used again: a fresh one of
      // the address's family, bound as the first was.
      (void)CloseNow();
      Socket(type_, 0, tries[i].family);
      // The first socket was bound the same way, so this fails only when
      // the interface's address went away meanwhile.
      if (!NeedsNoBind(type_, local_port_, local_) && !BindTo(local_port_, local_))
        throw CSocketException(kErrorAddressNotAvailable);
    }
    try {
      return CSyncSocketEx::Connect(platform::SocketAddress{tries[i], static_cast<uint16_t>(port)});
    } catch (const CSocketException& e) {
      if (i + 1 == tries.size() || Stopping()) throw;
      Warning(MainLog(), "connection to %s at %s failed (%s), trying its next address", host,
              platform::FormatAddressLiteral(tries[i]).c_str(),
              kelpd::net::SocketErrorText(e.m_nError).c_str());
    }
  }
  throw CSocketException(kErrorNoAddress);  // not reached: the loop returns or throws
}

void CSyncSocketEx::SetDeadline(int seconds) {
  deadline_ms_ = seconds < 0 ? -1 : platform::MonotonicMillis() + int64_t{1000} * seconds;
}

bool CSyncSocketEx::Wait(short events, int seconds) {
  if (m_hSocket < 0) throw CSocketException(kErrorNotSocket);
  int ms = SecondsToMs(seconds);
  if (deadline_ms_ >= 0) {
    const int64_t left = deadline_ms_ - platform::MonotonicMillis();
    if (left <= 0) return false;
    if (ms < 0 || left < ms) ms = static_cast<int>(left);
  }
  switch (platform::WaitFd(m_hSocket, events, ms)) {
    case platform::WaitResult::kReady:
      return true;
    case platform::WaitResult::kTimeout:
      return false;
    case platform::WaitResult::kStopped:
      // The worker is being stopped: the conversation ends as if the peer had
      // gone silent, so that the caller gives up at once.
      throw CSocketException(kErrorTimedOut);
    case platform::WaitResult::kError:
      break;
  }
  ThrowErrno(errno);
}

bool CSyncSocketEx::WaitReadable(int seconds) { return Wait(platform::kWaitReadable, seconds); }

bool CSyncSocketEx::WaitWritable(int seconds) { return Wait(platform::kWaitWritable, seconds); }

int CSyncSocketEx::Receive(char* buf, int size, int flags) {
  if (size < 0 || (buf == nullptr && size > 0)) throw CSocketException(kErrorBadAddress);
  for (;;) {
    if (!WaitReadable(m_nTimeOut)) throw CSocketException(kErrorTimedOut);
    size_t received = 0;
    int err = platform::ReceiveSome(m_hSocket, buf, static_cast<size_t>(size), flags, &received);
    if (err == 0) return static_cast<int>(received);
    // Readiness without data (a datagram dropped after poll saw it): wait again.
    if (!WouldBlock(err)) ThrowErrno(err);
  }
}

int CSyncSocketEx::Send(const char* text) {
  size_t len = text == nullptr ? 0 : std::strlen(text);
  if (len > static_cast<size_t>(INT_MAX)) throw CSocketException(kErrorInvalid);
  return Send(text == nullptr ? "" : text, static_cast<int>(len), 0);
}

int CSyncSocketEx::Send(const char* data, int len, int flags) {
  if (len < 0 || (data == nullptr && len > 0)) throw CSocketException(kErrorBadAddress);
  if (m_hSocket < 0) throw CSocketException(kErrorNotSocket);
  // The send buffer nearly always has room: the data is sent at once, and
  // only a full buffer is waited for. One send may take only part of the
  // buffer; the rest follows after the wait, so that the caller's whole
  // command or record reaches the peer. A stop request or a deadline that
  // ran out ends the conversation before anything more is sent, as a wait
  // would.
  if (Stopping() || (deadline_ms_ >= 0 && deadline_ms_ <= platform::MonotonicMillis()))
    throw CSocketException(kErrorTimedOut);
  size_t total = static_cast<size_t>(len);
  size_t done = 0;
  for (;;) {
    size_t sent = 0;
    int err = platform::SendSome(m_hSocket, data + done, total - done, flags, &sent);
    if (err != 0 && !WouldBlock(err)) ThrowErrno(err);
    done += sent;
    if (done >= total) break;
    if (!WaitWritable(m_nTimeOut)) throw CSocketException(kErrorTimedOut);
  }
  return len;
}

int CSyncSocketEx::SendTo(const char* data, int len, unsigned port, const char* host, int flags) {
  if (len < 0 || (data == nullptr && len > 0)) throw CSocketException(kErrorBadAddress);
  platform::SocketAddressV4 remote{platform::kBroadcastAddress, 0};
  if (host != nullptr) {
    std::optional<uint32_t> ip = platform::ResolveIPv4(host);
    if (!ip) throw CSocketException(kErrorInvalid);
    remote.ipv4 = *ip;
  }
  if (port > 65535) throw CSocketException(kErrorInvalid);
  remote.port = static_cast<uint16_t>(port);
  size_t sent = 0;
  if (int err =
          platform::SendDatagram(m_hSocket, data, static_cast<size_t>(len), flags, remote, &sent))
    ThrowErrno(err);
  return static_cast<int>(sent);
}

bool SocketsStartup() { return true; }
