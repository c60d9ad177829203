#include "core/ArrivalWatch.h"

#include <chrono>
#include <cstdint>

#include "base/Paths.h"
#include "platform/Socket.h"
#include "platform/StopSignal.h"

namespace kelpd::core {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool ArrivalWatch::Open(const std::string& dir, std::vector<std::string> patterns, int* err) {
  patterns_ = std::move(patterns);
  kelpd::platform::DirectoryWatch::OpenFailure failure;
  return watch_.Open(dir, kelpd::platform::kNotifyArrival, false, &failure, err);
}

void ArrivalWatch::Close() {
  int err = 0;
  watch_.Close(&err);
  records_.clear();
}

bool ArrivalWatch::DrainArrivals() {
  records_.clear();
  bool overflow = false;
  int err = 0;
  if (!watch_.Drain(&records_, &overflow, &err)) {
    // A watch that can't be read any more would wake every wait at once:
    // without it the caller falls back to its interval.
    Close();
    return true;
  }
  if (overflow) return true;
  for (const auto& record : records_)
    for (const auto& pattern : patterns_)
      if (kelpd::text::MatchWildcard(pattern, record.name)) return true;
  return false;
}

ArrivalWatch::Woken ArrivalWatch::Wait(int timeout_ms) {
  namespace platform = kelpd::platform;
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) return Woken::kTimeout;
    if (!watch_.IsOpen()) {
      return platform::SleepFor(static_cast<int>(left)) == platform::WaitResult::kStopped
                 ? Woken::kStopped
                 : Woken::kTimeout;
    }
    switch (platform::WaitFd(watch_.fd(), platform::kWaitReadable, static_cast<int>(left))) {
      case platform::WaitResult::kReady:
        if (DrainArrivals()) return Woken::kArrival;
        break;
      case platform::WaitResult::kTimeout:
        return Woken::kTimeout;
      case platform::WaitResult::kStopped:
        return Woken::kStopped;
      case platform::WaitResult::kError:
        Close();
        break;
    }
  }
}

}  // namespace kelpd::core
