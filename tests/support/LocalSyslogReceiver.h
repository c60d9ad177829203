// A stand-in for the local syslog socket: a Unix datagram socket bound at a
// path of the test's own, removed again with the object.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/Files.h"
#include "platform/LocalDatagram.h"
#include "platform/Socket.h"
#include "platform/StopSignal.h"
#include "platform/UniqueFd.h"

namespace kelpd::testing {

class LocalSyslogReceiver {
 public:
  explicit LocalSyslogReceiver(std::string path) : path_(std::move(path)) {
    int fd = -1;
    if (platform::BindLocalDatagram(path_, &fd) == 0) fd_.Reset(fd);
  }
  ~LocalSyslogReceiver() {
    if (fd_.valid()) platform::RemoveFile(path_).IgnoreError();
  }
  bool ok() const { return fd_.valid(); }
  const std::string& path() const { return path_; }

  // The next datagram, or nothing within timeout.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      char buf[4096];
      size_t n = 0;
      if (platform::ReceiveLocalDatagram(fd_.get(), buf, sizeof buf, &n) == 0)
        return std::string(buf, n);
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 ||
          platform::WaitFd(fd_.get(), platform::kWaitReadable, static_cast<int>(left.count())) !=
              platform::WaitResult::kReady)
        return std::nullopt;
    }
  }

  // Receives until a datagram contains needle; everything received goes to
  // seen, and a needle already in seen (the service's threads log in no fixed
  // order) counts at once. False when none did within timeout.
  bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout, std::string* seen) {
    if (seen != nullptr && seen->find(needle) != std::string::npos) return true;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      std::optional<std::string> d = Receive(left);
      if (!d) return false;
      if (seen != nullptr) *seen += *d + "\n";
      if (d->find(needle) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::string path_;
  platform::UniqueFd fd_;
};

}  // namespace kelpd::testing
