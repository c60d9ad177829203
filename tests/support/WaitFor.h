// Polling for something the test can see, bounded in time.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace kelpd::testing {

// Polls done() until it holds or timeout has passed; its last answer.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                    std::chrono::milliseconds poll = std::chrono::milliseconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(poll);
  }
  return done();
}

}  // namespace kelpd::testing
