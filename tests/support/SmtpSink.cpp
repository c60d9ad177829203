#include "support/SmtpSink.h"

#include <unistd.h>

#include <cstring>
#include <thread>

#include "support/LoopbackPort.h"

namespace kelpd::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr char kSmtpSink[] = "/usr/sbin/smtp-sink";
constexpr int kStartAttempts = 3;

}  // namespace

std::string SmtpSink::MissingPrerequisite() {
  if (::access(kSmtpSink, X_OK) != 0) {
    return "smtp-sink (package postfix) is not installed (scripts/lib/packages.sh installs it)";
  }
  return {};
}

SmtpSink::SmtpSink(SmtpSinkOptions options) : options_(std::move(options)) {}

SmtpSink::~SmtpSink() { Stop(); }

bool SmtpSink::Start(std::string* error) {
  std::string missing = MissingPrerequisite();
  if (!missing.empty()) {
    *error = missing;
    return false;
  }
  for (int attempt = 1;; ++attempt) {
    port_ = options_.port != 0 ? options_.port : PickFreeLoopbackPort();
    if (port_ == 0) {
      *error = "no free loopback port";
      return false;
    }
    // -c: print the session and message counters whenever they change;
    // -u: the user to drop to after binding, required when run as root.
    std::vector<std::string> argv = {kSmtpSink, "-c", "-h", options_.hostname};
    if (::geteuid() == 0) argv.insert(argv.end(), {"-u", "nobody"});
    argv.insert(argv.end(), options_.extra_args.begin(), options_.extra_args.end());
    argv.push_back("127.0.0.1:" + std::to_string(port_));
    argv.push_back(std::to_string(options_.backlog));
    if (!process_.Start(argv, error)) return false;
    const auto deadline = Clock::now() + options_.start_timeout;
    while (!IsListening(port_) && process_.Running() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (IsListening(port_) && process_.Running()) return true;
    std::string output = Output();
    process_.Stop();
    bool port_taken = output.find("in use") != std::string::npos;
    if (options_.port != 0 || !port_taken || attempt == kStartAttempts) {
      *error = "smtp-sink did not start on port " + std::to_string(port_) + ":\n" + output;
      return false;
    }
  }
}

void SmtpSink::Stop() { process_.Stop(); }

long SmtpSink::LastCounter(const char* name) const {
  // Lines look like "sess=3 quit=3 mesg=3", each ended by a CR.
  const std::string out = process_.StdoutTail(256);
  const std::string key = std::string(name) + "=";
  size_t pos = out.rfind(key);
  if (pos == std::string::npos) return 0;
  long value = 0;
  for (size_t i = pos + key.size(); i < out.size() && out[i] >= '0' && out[i] <= '9'; ++i) {
    value = value * 10 + (out[i] - '0');
  }
  return value;
}

long SmtpSink::MessageCount() const { return LastCounter("mesg"); }

long SmtpSink::SessionCount() const { return LastCounter("sess"); }

bool SmtpSink::WaitForMessages(long count, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (MessageCount() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string SmtpSink::Output() const { return process_.Stdout() + process_.Stderr(); }

}  // namespace kelpd::testing
