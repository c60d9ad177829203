// The small rules of the application's lifecycle, kept apart from the
// application object so that they can be checked without starting threads
// or reading a clock. Thread-safe: pure functions and a value type.
#pragma once

namespace kelpd::app {

// The number of delivery threads for "AutoTransport.Threads": any value
// below 2 gives one thread, and no more than MaxDeliveryThreads of the
// descriptor limit.
int DeliveryThreadCount(int configured, long descriptor_limit);

// The most delivery threads the descriptor limit allows: each holds a stop
// descriptor, a connection, a DNS socket and a mail file at once, with room to
// spare, beside a reserve for the rest of the service. At least one.
int MaxDeliveryThreads(long descriptor_limit);

// When the hourly mode runs the new-mail script: once in every hour, in the
// minute of the hour at which the run loop started, and at once when the
// loop starts. The caller polls with the present minute at least once a
// minute.
class HourlySchedule {
 public:
  explicit HourlySchedule(int start_minute) : start_minute_(start_minute) {}
  // True when the script is due now.
  bool Due(int minute);

 private:
  int start_minute_;
  bool armed_ = true;  // the start minute has not yet been served this hour
};

// How long a pass of the hourly mode waits before it looks at the clock
// again.
constexpr int kHourlyPollMs = 1000;

}  // namespace kelpd::app
