#include "app/LifecycleRules.h"

namespace kelpd::app {

int ClampSessionTimeOut(int seconds) {
  if (seconds <= 60) return 60;
  if (seconds >= 1200) return 1200;
  return seconds;
}

int DeliveryThreadCount(int configured) { return configured < 2 ? 1 : configured; }

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
