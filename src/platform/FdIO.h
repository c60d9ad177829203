// Whole writes to descriptors. Thread-safe.
#pragma once

#include <cstddef>

namespace kelpd::platform {

// Writes all len bytes, retrying after EINTR and short writes. Returns false
// (errno set) on failure. Async-signal-safe.
bool WriteAll(int fd, const void* data, size_t len);

// Whether nothing reads what is written to fd: it is not open, or it is the
// null device (a service's standard output).
bool WritesGoNowhere(int fd);

}  // namespace kelpd::platform
