// CSyslog: the log target outside debug mode. Each message becomes one UDP
// datagram "<%d> [%04X] %s: %s" (priority = facility | level, kernel thread id,
// tag, text), at most 512 bytes, without a terminating zero or line end, sent
// from a socket made for that message alone. A receiver that is missing, a host
// that does not resolve or a failed send drops the message silently.
//
// Thread-safe: Write shares no state between calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "log/LogTarget.h"

class CSyslog : public CLogTarget {
 public:
  // facilityName is looked up in the facility table without regard to case;
  // a name not in the table gives the facility "mail" (see kUnknownFacility).
  CSyslog(const std::string& tag, const std::string& facilityName, const std::string& host,
          int port);
  // facility is the facility code multiplied by 8.
  CSyslog(const std::string& tag, int facility, const std::string& host, int port);

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

 private:
  std::string tag_;
  int facility_;
  std::string host_;
  int port_;
  // host_ resolved once at construction, for the crash reporter, which may not
  // look names up.
  std::optional<uint32_t> crash_address_;
};
