// The abstract destination of a log channel. Targets are shared between the
// threads that write to a channel: Write must be safe to call concurrently.
#pragma once

namespace kelpd::log {
struct CrashSink;
}

class CLogTarget {
 public:
  virtual ~CLogTarget() = default;
  // Writes one formatted message of the given syslog level (0..7). Never throws.
  virtual void Write(int level, const char* text) = 0;
  // Describes, for the crash reporter, how to write one line from a signal
  // handler to this target. Returns false when the target cannot take one.
  virtual bool DescribeForCrash(kelpd::log::CrashSink& sink) const {
    (void)sink;
    return false;
  }
};
