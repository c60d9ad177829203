// The remote agent's side of the queue tool's controls (mail/QueueControl.h):
// the retry request it takes, and the delivery figures it publishes.
//
// Thread-safe: the counters are atomic; TakeRetryRequest and
// PublishDeliveryFigures are called by the agent's own thread.
#pragma once

#include <string>

namespace kelpd::remote {

// Counted by the delivery threads: a mail delivered, a mail given up or
// moved to the error directory.
void CountDelivered();
void CountFailed();

// True when the retry request was in dir; it is removed.
bool TakeRetryRequest(const std::string& dir);

// Writes the delivery figures file into dir when the figures changed since
// the last write (the first call always writes), at most once a second
// unless force is set.
void PublishDeliveryFigures(const std::string& dir, bool force = false);

}  // namespace kelpd::remote
