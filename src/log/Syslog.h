// CSyslog: the log target outside debug mode. Each message becomes one
// datagram "<%d> [%04X] %s: %s" (priority = facility | level, kernel thread id,
// tag, text), at most 512 bytes, without a terminating zero or line end.
//
// With a host, the datagram goes by UDP from one socket of the target; a
// host name is looked up again at most once a minute (after a failed look-up
// every few seconds), so that a receiver whose address changes is followed,
// and an address literal never. With a local socket path (the local syslog socket, which the
// journal and syslog daemons read), one connected socket serves every message; while that socket is
// missing or refuses, messages go by UDP to 127.0.0.1:514 and the socket is tried again at most
// once a second, so a journal that starts after the service still gets its lines. A receiver that
// is missing, a host that does not resolve or a failed send drops the message silently.
//
// Thread-safe: UDP writes share the socket and the looked-up address without
// a lock; the local socket is guarded by a mutex (sends never wait for the
// receiver).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "log/LogTarget.h"
#include "platform/UniqueFd.h"

class CSyslog : public CLogTarget {
 public:
  // facilityName is looked up in the facility table without regard to case;
  // a name not in the table gives the facility "mail" (see kUnknownFacility).
  CSyslog(const std::string& tag, const std::string& facilityName, const std::string& host,
          int port);
  // facility is the facility code multiplied by 8.
  CSyslog(const std::string& tag, int facility, const std::string& host, int port);
  // Writes to the local syslog socket at socketPath (see above).
  static std::unique_ptr<CSyslog> ForLocalSocket(const std::string& tag,
                                                 const std::string& facilityName,
                                                 const std::string& socketPath);
  ~CSyslog() override;

  void Write(int level, const char* text) override;
  // The receiver's address as resolved at construction; false when the host
  // did not resolve then or the port is not a UDP port.
  bool DescribeForCrash(kelpd::log::CrashSink& sink) const override;

  // The facility code * 8 of a name ("kern" ... "local7", any case), or nothing
  // when the name is not in the table (so that the caller may warn about it).
  static std::optional<int> LookupFacility(const std::string& name);

  // What a name not in the table gives: "mail" (2 * 8). The service is a mail
  // program and "mail" is the main log's default facility, so a misspelt
  // facility sends the messages where its messages go by default, instead of
  // mixing them into the catch-all "user" facility.
  static constexpr int kUnknownFacility = 16;

  // The largest datagram; longer messages are cut to exactly this many bytes.
  static constexpr size_t kMaxDatagram = 512;

  int facility() const { return facility_; }

  // How long the local socket is left alone after it was missing or refused.
  static constexpr int kLocalRetryMs = 1000;
  // How long a look-up of the UDP receiver's name is used (a failed one).
  static constexpr int64_t kLookupKeptMs = 60'000;
  static constexpr int64_t kFailedLookupKeptMs = 5'000;

 private:
  // Sends by UDP to host_:port_.
  void SendUdp(const char* datagram, size_t len);
  // The receiver's address, looked up again when the last look-up is old.
  std::optional<uint32_t> UdpAddress();
  // Sends on the local socket; false when it is not there (the caller falls
  // back to UDP).
  bool SendLocal(const char* datagram, size_t len);

  std::string tag_;
  int facility_;
  std::string host_;
  int port_;
  // host_ resolved once at construction, for the crash reporter, which may not
  // look names up.
  std::optional<uint32_t> crash_address_;
  // The UDP socket, opened with the target (else by the next UDP send) and
  // kept; -1 while there is none.
  std::atomic<int> udp_fd_{-1};
  // The last look-up of host_: bit 32 set when it gave an address, which is
  // in the low 32 bits; and when it is due again (steady clock, in ms).
  std::atomic<uint64_t> udp_address_{0};
  std::atomic<int64_t> udp_lookup_due_ms_{0};
  // The local socket's path; empty for a UDP target.
  std::string socket_path_;
  std::mutex local_mutex_;
  kelpd::platform::UniqueFd local_fd_;                    // guarded by local_mutex_
  std::chrono::steady_clock::time_point next_local_try_;  // guarded by local_mutex_
};
