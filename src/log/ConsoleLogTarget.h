// The log target of debug mode: one line per message on standard error,
// "%02d.%02d.%04d %02d:%02d:%02d [%04X] %s: %s\n" (local date and time, kernel
// thread id, level name, text). Thread-safe: lines of several threads never
// interleave, each is written with one write call under a lock.
#pragma once

#include "log/LogTarget.h"

class CConsoleLogTarget : public CLogTarget {
 public:
  CConsoleLogTarget() = default;
  // fd is where lines go; standard error unless a test passes another.
  explicit CConsoleLogTarget(int fd) : fd_(fd) {}

  void Write(int level, const char* text) override;
  bool DescribeForCrash(kelpd::log::CrashSink& sink) const override;

 private:
  int fd_ = 2;
};
