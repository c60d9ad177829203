// The system's own DNS resolver (libresolv, configured by /etc/resolv.conf),
// asked one question at a time. Status codes are those the service reports
// for the platform resolver: 0 success, 9000 + the answer's response code,
// 9501 for a name without records of the type, 1460 when no server answered.
// One object per thread: an object is not thread-safe, separate objects are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelpd::platform {

constexpr int kSystemDnsSuccess = 0;
constexpr int kSystemDnsRcodeBase = 9000;
constexpr int kSystemDnsNoRecords = 9501;
constexpr int kSystemDnsTimeout = 1460;
// A name that cannot be put into a query (ERROR_INVALID_NAME).
constexpr int kSystemDnsInvalidName = 123;

// One record of the answer section.
struct SystemDnsRecord {
  std::string owner;  // the name the record belongs to, in text form
  uint16_t type = 0;
  uint16_t preference = 0;         // MX
  std::string name;                // MX exchange or CNAME target, in text form
  std::vector<std::string> texts;  // TXT strings, control bytes replaced by '?'
};

class SystemResolver {
 public:
  SystemResolver();
  ~SystemResolver();
  SystemResolver(const SystemResolver&) = delete;
  SystemResolver& operator=(const SystemResolver&) = delete;

  // Reads the system configuration (res_ninit). False when that fails.
  bool Init();

  // Asks for records of type (class IN) of name, without the search list.
  // Appends the answer records in the order of the answer. Returns a status
  // code as above. REQUIRES: Init() returned true.
  int Query(const std::string& name, uint16_t type, std::vector<SystemDnsRecord>* records);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelpd::platform
