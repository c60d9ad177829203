#include "log/ConsoleLogTarget.h"

#include <stdio.h>

#include <mutex>

#include "log/CrashSink.h"
#include "log/Log.h"
#include "platform/FdIO.h"
#include "platform/LocalTime.h"
#include "platform/ThreadId.h"

namespace {
std::mutex g_console_mutex;  // one line at a time on the console
}

void CConsoleLogTarget::Write(int level, const char* text) {
  kelpd::platform::LocalTime t = kelpd::platform::LocalTimeNow();
  char line[1200];
  int n = snprintf(line, sizeof line, "%02d.%02d.%04d %02d:%02d:%02d [%04X] %s: %s\n", t.day,
                   t.month, t.year, t.hour, t.minute, t.second, kelpd::platform::CurrentThreadId(),
                   LevelName(level), text);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  std::lock_guard<std::mutex> lock(g_console_mutex);
  (void)kelpd::platform::WriteAll(fd_, line, len);  // write errors are ignored
}

bool CConsoleLogTarget::DescribeForCrash(kelpd::log::CrashSink& sink) const {
  sink.kind = kelpd::log::CrashSink::Kind::kConsole;
  sink.utc_offset_seconds = kelpd::platform::LocalTimeNow().utc_offset_seconds;
  return true;
}
