// The MTA's smtp-sink on a loopback port: an SMTP server that accepts every
// mail and throws it away, counting sessions and messages. It serves many
// connections at once from one event loop and takes thousands of mails per
// second, which makes it the peer of throughput benchmarks.
//
//   SmtpSink sink;
//   std::string error;
//   ASSERT_TRUE(sink.Start(&error)) << error;
//   ... send mail to 127.0.0.1:sink.port() ...
//   ASSERT_TRUE(sink.WaitForMessages(1000, std::chrono::seconds(30)));
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/PeerProcess.h"

namespace kelpd::testing {

struct SmtpSinkOptions {
  int port = 0;  // 0 picks a free one
  // Name in the greeting and the EHLO reply (-h).
  std::string hostname = "sink.kelpd.test";
  // Queue length of the listening socket.
  int backlog = 1024;
  // Further smtp-sink options placed before the address, e.g. {"-r", "rcpt"}
  // to reject RCPT, {"-Q", "data"} to answer DATA with a 4xx, {"-P"} to turn
  // PIPELINING off, {"-w", "1"} to wait a second before the DATA reply.
  std::vector<std::string> extra_args;
  std::chrono::milliseconds start_timeout = std::chrono::seconds(20);
};

class SmtpSink {
 public:
  // Empty when smtp-sink can run here; otherwise why not.
  static std::string MissingPrerequisite();

  explicit SmtpSink(SmtpSinkOptions options = {});
  ~SmtpSink();
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  // Starts smtp-sink and returns once it listens; on failure *error holds
  // its output.
  [[nodiscard]] bool Start(std::string* error);
  void Stop();

  int port() const { return port_; }
  // Messages whose final "." smtp-sink has answered so far.
  long MessageCount() const;
  // SMTP sessions that have ended so far.
  long SessionCount() const;
  bool WaitForMessages(long count, std::chrono::milliseconds timeout) const;
  // smtp-sink's standard output and error, for diagnostics.
  std::string Output() const;

 private:
  long LastCounter(const char* name) const;

  SmtpSinkOptions options_;
  int port_ = 0;
  PeerProcess process_;
};

}  // namespace kelpd::testing
