// Kernel thread ids, as log lines print them ("%04X"). Thread-safe.
#pragma once

#include <cstdint>

namespace kelpd::platform {

// The calling thread's kernel id (gettid, asked once per thread). Async-signal-safe.
uint32_t CurrentThreadId();

// The process id.
uint32_t CurrentProcessId();

}  // namespace kelpd::platform
