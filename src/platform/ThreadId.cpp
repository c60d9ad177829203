#include "platform/ThreadId.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace kelpd::platform {

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace kelpd::platform
