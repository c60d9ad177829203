#include "log/Syslog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/Text.h"
#include "log/CrashSink.h"
#include "platform/HostLookup.h"
#include "platform/LocalDatagram.h"
#include "platform/Socket.h"
#include "platform/ThreadId.h"
#include "platform/UniqueFd.h"

namespace platform = kelpd::platform;

namespace {

struct FacilityName {
  const char* name;
  int code;
};

// Codes 4 and 11 to 15 have no name.
constexpr FacilityName kFacilities[] = {
    {"kern", 0},    {"user", 1},    {"mail", 2},    {"daemon", 3},  {"syslog", 5},
    {"lpr", 6},     {"news", 7},    {"uucp", 8},    {"cron", 9},    {"authpriv", 10},
    {"local0", 16}, {"local1", 17}, {"local2", 18}, {"local3", 19}, {"local4", 20},
    {"local5", 21}, {"local6", 22}, {"local7", 23},
};

bool IsUdpPort(int port) { return port > 0 && port <= 65535; }

}  // namespace

std::optional<int> CSyslog::LookupFacility(const std::string& name) {
  for (const FacilityName& f : kFacilities) {
    if (kelpd::text::EqualsNoCase(name, f.name)) return f.code * 8;
  }
  return std::nullopt;
}

CSyslog::CSyslog(const std::string& tag, const std::string& facilityName, const std::string& host,
                 int port)
    : CSyslog(tag, LookupFacility(facilityName).value_or(kUnknownFacility), host, port) {}

CSyslog::CSyslog(const std::string& tag, int facility, const std::string& host, int port)
    : tag_(tag),
      facility_(facility),
      host_(host),
      port_(port),
      crash_address_(platform::ResolveIPv4(host)) {
  // Opened now rather than by the first line, so that a target holds the same
  // descriptors all its life.
  int fd = -1;
  if (IsUdpPort(port_) &&
      platform::OpenSocket(platform::kAddressFamilyIPv4, platform::kSocketDatagram, 0, &fd) == 0)
    udp_fd_.store(fd);
}

CSyslog::~CSyslog() {
  const int fd = udp_fd_.load();
  if (fd >= 0) platform::UniqueFd closed(fd);
}

std::unique_ptr<CSyslog> CSyslog::ForLocalSocket(const std::string& tag,
                                                 const std::string& facilityName,
                                                 const std::string& socketPath) {
  auto target = std::make_unique<CSyslog>(tag, facilityName, "127.0.0.1", 514);
  target->socket_path_ = socketPath;
  return target;
}

void CSyslog::Write(int level, const char* text) {
  char datagram[kMaxDatagram + 1];
  int n = std::snprintf(datagram, sizeof datagram, "<%d> [%04X] %s: %s", facility_ | level,
                        platform::CurrentThreadId(), tag_.c_str(), text != nullptr ? text : "");
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < kMaxDatagram ? static_cast<size_t>(n) : kMaxDatagram;
  if (!socket_path_.empty() && SendLocal(datagram, len)) return;
  SendUdp(datagram, len);
}

bool CSyslog::SendLocal(const char* datagram, size_t len) {
  std::lock_guard<std::mutex> lock(local_mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!local_fd_.valid()) {
    if (now < next_local_try_) return false;
    int fd = -1;
    if (platform::ConnectLocalDatagram(socket_path_, &fd) != 0) {
      next_local_try_ = now + std::chrono::milliseconds(kLocalRetryMs);
      return false;
    }
    local_fd_.Reset(fd);
  }
  int err = platform::SendLocalDatagram(local_fd_.get(), datagram, len);
  if (err == 0) return true;
  // A full receive queue drops this one message; a receiver that went away
  // (restarted, socket replaced) is connected again later.
  if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS || err == EMSGSIZE) return true;
  local_fd_.Reset();
  next_local_try_ = now + std::chrono::milliseconds(kLocalRetryMs);
  return false;
}

std::optional<uint32_t> CSyslog::UdpAddress() {
  constexpr uint64_t kFound = uint64_t{1} << 32;
  if (std::optional<uint32_t> literal = platform::ParseIPv4(host_)) return literal;
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  if (now >= udp_lookup_due_ms_.load(std::memory_order_acquire)) {
    // Writers that find the look-up due at the same time may each look up;
    // the last answer stays.
    const std::optional<uint32_t> ip = platform::ResolveIPv4(host_);
    udp_address_.store(ip ? kFound | *ip : 0, std::memory_order_release);
    udp_lookup_due_ms_.store(now + (ip ? kLookupKeptMs : kFailedLookupKeptMs),
                             std::memory_order_release);
  }
  const uint64_t kept = udp_address_.load(std::memory_order_acquire);
  if ((kept & kFound) == 0) return std::nullopt;
  return static_cast<uint32_t>(kept);
}

void CSyslog::SendUdp(const char* datagram, size_t len) {
  if (!IsUdpPort(port_)) return;
  const std::optional<uint32_t> ip = UdpAddress();
  if (!ip) return;
  int fd = udp_fd_.load(std::memory_order_acquire);
  if (fd < 0) {  // it could not be opened with the target
    if (platform::OpenSocket(platform::kAddressFamilyIPv4, platform::kSocketDatagram, 0, &fd) != 0)
      return;
    // Of writers that open one at the same time, one socket is kept.
    int none = -1;
    if (!udp_fd_.compare_exchange_strong(none, fd, std::memory_order_acq_rel)) {
      platform::UniqueFd extra(fd);
      fd = none;
    }
  }
  // An unconnected socket: a receiver that is missing makes no later send
  // fail, and a full buffer drops only this message.
  size_t sent = 0;
  (void)platform::SendDatagram(fd, datagram, len, 0,
                               platform::SocketAddressV4{*ip, static_cast<uint16_t>(port_)}, &sent);
}

bool CSyslog::DescribeForCrash(kelpd::log::CrashSink& sink) const {
  if (!crash_address_ || !IsUdpPort(port_)) return false;
  sink.kind = kelpd::log::CrashSink::Kind::kSyslog;
  sink.ipv4_address = *crash_address_;
  sink.port = static_cast<uint16_t>(port_);
  sink.facility = facility_;
  std::snprintf(sink.tag, sizeof sink.tag, "%s", tag_.c_str());
  if (!socket_path_.empty() && socket_path_.size() < sizeof sink.socket_path) {
    sink.kind = kelpd::log::CrashSink::Kind::kLocalSyslog;
    std::snprintf(sink.socket_path, sizeof sink.socket_path, "%s", socket_path_.c_str());
  }
  return true;
}
