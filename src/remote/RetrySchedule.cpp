#include "remote/RetrySchedule.h"

namespace kelpd::remote {

bool RetryCycleDue(int64_t now, int64_t last_cycle, const RetrySettings& settings,
                   bool new_files_waiting) {
  const int64_t elapsed = now - last_cycle;
  if (elapsed <= settings.min_seconds) return false;
  // New mail may put a cycle off, but never beyond the upper bound.
  return !new_files_waiting || elapsed > settings.max_seconds;
}

bool MailTooOld(int64_t now, int64_t created, int limit_minutes) {
  return now - created > static_cast<int64_t>(limit_minutes) * 60;
}

}  // namespace kelpd::remote
