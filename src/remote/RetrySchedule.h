// The retry schedule of the outgoing directory and the age limit of a mail,
// as pure functions of the clock and the settings, so that the agent and the
// delivery threads only call them and tests can move the clock freely.
// Thread-safe: pure functions.
#pragma once

#include <cstdint>

#include "config/Settings.h"

namespace kelpd::remote {

// The bounds between two retry cycles, in seconds.
using RetrySettings = kelpd::config::RetrySettings;

// Whether a retry cycle starts at now, given the start of the last cycle:
// more than min_seconds have passed and either no new file waits or more
// than max_seconds have passed. Both comparisons are strict.
[[nodiscard]] bool RetryCycleDue(int64_t now, int64_t last_cycle, const RetrySettings& settings,
                                 bool new_files_waiting);

// Whether a mail whose file was created at created has failed for too long:
// now - created exceeds limit_minutes minutes (strictly).
[[nodiscard]] bool MailTooOld(int64_t now, int64_t created, int limit_minutes);

}  // namespace kelpd::remote
