// Whole writes to descriptors. Thread-safe.
#pragma once

#include <cstddef>

namespace kelpd::platform {

// Writes all len bytes, retrying after EINTR and short writes. Returns false
// (errno set) on failure. Async-signal-safe.
bool WriteAll(int fd, const void* data, size_t len);

}  // namespace kelpd::platform
