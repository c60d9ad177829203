#include "app/LifecycleRules.h"

namespace kelpd::app {

namespace {
constexpr long kDescriptorsPerDeliveryThread = 8;
constexpr long kReservedDescriptors = 64;
}  // namespace

int MaxDeliveryThreads(long descriptor_limit) {
  const long bound = (descriptor_limit - kReservedDescriptors) / kDescriptorsPerDeliveryThread;
  return bound < 1 ? 1 : bound > 1'000'000 ? 1'000'000 : static_cast<int>(bound);
}

int DeliveryThreadCount(int configured, long descriptor_limit) {
  const int count = configured < 2 ? 1 : configured;
  const int bound = MaxDeliveryThreads(descriptor_limit);
  return count > bound ? bound : count;
}

bool HourlySchedule::Due(int minute) {
  if (minute != start_minute_) {
    armed_ = true;
    return false;
  }
  if (!armed_) return false;
  armed_ = false;
  return true;
}

}  // namespace kelpd::app
