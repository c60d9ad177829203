// A DNS server for tests that answers with whatever bytes its script returns:
// one thread on a loopback address with a UDP and a TCP socket on the same
// port. Every query is recorded. Thread-safe: the script runs on the server's
// thread; Queries() and SetScript() may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelpd::testing {

struct DnsQueryInfo {
  std::vector<uint8_t> bytes;
  bool tcp = false;
  uint16_t id = 0;
  std::string name;  // question name as sent, labels joined by dots
  uint16_t type = 0;
  uint16_t cls = 0;
  int64_t received_ms = 0;  // monotonic clock; UDP: when the kernel received it
};

struct DnsReplyAction {
  std::vector<uint8_t> bytes;
  bool from_other_port = false;  // UDP: sent from a second socket
  bool reset = false;            // TCP: reset the connection instead of answering
  int announced_length = -1;     // TCP: the length prefix (-1: the real length)
  int delay_ms = 0;              // waited before this action
};

using DnsScript = std::function<std::vector<DnsReplyAction>(const DnsQueryInfo&)>;

class ScriptedDnsServer {
 public:
  // Binds address:port (0: any free port, the same for UDP and TCP).
  explicit ScriptedDnsServer(DnsScript script, const std::string& address = "127.0.0.1",
                             uint16_t port = 0);
  ~ScriptedDnsServer();
  ScriptedDnsServer(const ScriptedDnsServer&) = delete;
  ScriptedDnsServer& operator=(const ScriptedDnsServer&) = delete;

  uint16_t port() const { return port_; }
  bool ok() const { return udp_ >= 0 && tcp_ >= 0; }
  std::vector<DnsQueryInfo> Queries() const;
  void SetScript(DnsScript script);

 private:
  void Run();
  void HandleUdp();
  void HandleTcp();
  std::vector<DnsReplyAction> Ask(DnsQueryInfo& q);

  int udp_ = -1;
  int other_udp_ = -1;
  int tcp_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  mutable std::mutex mutex_;  // guards script_ and queries_
  DnsScript script_;
  std::vector<DnsQueryInfo> queries_;
  std::thread thread_;
};

// Builds an answer to a query: its identifier and question, the response and
// recursion flags, then records with uncompressed names.
class DnsAnswer {
 public:
  explicit DnsAnswer(const DnsQueryInfo& q);
  DnsAnswer& Rcode(int rcode);
  DnsAnswer& Truncated();
  DnsAnswer& Id(uint16_t id);
  DnsAnswer& Record(const std::string& owner, uint16_t type, const std::vector<uint8_t>& rdata);
  DnsAnswer& Mx(const std::string& owner, uint16_t preference, const std::string& exchange);
  DnsAnswer& A(const std::string& owner, const std::string& address);
  DnsAnswer& Cname(const std::string& owner, const std::string& target);
  DnsAnswer& Txt(const std::string& owner, const std::string& text);
  // Appends bytes as they are, counting them as `records` answer records.
  DnsAnswer& Raw(const std::vector<uint8_t>& bytes, int records);
  std::vector<uint8_t> Bytes() const { return bytes_; }
  DnsReplyAction Reply() const { return DnsReplyAction{bytes_}; }

  static std::vector<uint8_t> EncodeName(const std::string& name);

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace kelpd::testing
