#include "platform/StopSignal.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <system_error>

namespace kelpd::platform {

namespace {

thread_local StopSignal* t_current = nullptr;

int64_t MonotonicMs() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

StopSignal::StopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  // Without an eventfd no wait could be interrupted: the worker can't be
  // built, which its creator reports like any other failure to create it.
  if (!fd_.valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
}

long DescriptorLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > 1L << 30)
    return 1L << 30;
  return static_cast<long>(limit.rlim_cur);
}

void StopSignal::Raise() {
  std::lock_guard<std::mutex> lock(change_);
  uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(fd_.get(), &one, sizeof one);
  } while (n < 0 && errno == EINTR);
  raised_.store(true, std::memory_order_release);
}

void StopSignal::Clear() {
  std::lock_guard<std::mutex> lock(change_);
  uint64_t value;
  ssize_t n;
  do {
    n = ::read(fd_.get(), &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  raised_.store(false, std::memory_order_release);
}

bool StopSignal::IsRaised() const { return raised_.load(std::memory_order_acquire); }

StopSignal* CurrentStopSignal() { return t_current; }

void SetCurrentStopSignal(StopSignal* signal) { t_current = signal; }

WaitResult WaitFd(int fd, short events, int timeout_ms) {
  StopSignal* stop = t_current;
  struct pollfd fds[2] = {{fd, events, 0}, {stop ? stop->fd() : -1, POLLIN, 0}};
  nfds_t count = stop ? 2 : 1;
  if (fd < 0) {  // a pure sleep: only the stop signal is watched
    fds[0].fd = -1;
  }
  int64_t deadline = timeout_ms < 0 ? -1 : MonotonicMs() + timeout_ms;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      int64_t left = deadline - MonotonicMs();
      wait = left < 0 ? 0 : static_cast<int>(left);
    }
    int r = ::poll(fds, count, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kError;
    }
    if (r == 0) return WaitResult::kTimeout;
    if (stop && (fds[1].revents & POLLIN)) return WaitResult::kStopped;
    if (fds[0].revents != 0) return WaitResult::kReady;
  }
}

WaitResult SleepFor(int timeout_ms) {
  WaitResult r = WaitFd(-1, 0, timeout_ms);
  return r == WaitResult::kReady ? WaitResult::kTimeout : r;
}

}  // namespace kelpd::platform
