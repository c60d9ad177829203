#include "platform/ThreadId.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace kelpd::platform {

namespace {

// The id is asked of the kernel once per thread: every log line prints it.
// The service starts programs with posix_spawn and never runs on in a forked
// copy, whose threads would carry the parent's value.
thread_local uint32_t t_thread_id = 0;

}  // namespace

uint32_t CurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return t_thread_id;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace kelpd::platform
