#include "log/Log.h"

#include <stdarg.h>
#include <stdio.h>

#include "log/CrashSink.h"

namespace {

constexpr size_t kMessageBuffer = 1024;

void FormatAndWrite(CLog& channel, int level, const char* format, va_list args) {
  if (!channel.HasTarget()) return;
  char buf[kMessageBuffer];
  vsnprintf(buf, sizeof buf, format, args);
  channel.Write(level, buf);
}

}  // namespace

void CLog::SetTarget(std::unique_ptr<CLogTarget> target) {
  if (!target) return;
  std::shared_ptr<CLogTarget> fresh(std::move(target));
  if (is_main_log_) {
    kelpd::log::CrashSink sink;
    if (!fresh->DescribeForCrash(sink)) sink = kelpd::log::CrashSink{};
    kelpd::log::PublishCrashSink(sink);
  }
  std::shared_ptr<CLogTarget> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::exchange(target_, std::move(fresh));
  }
  // old is released here, outside the lock; writers still holding it keep it alive.
}

void CLog::ClearTarget() {
  std::shared_ptr<CLogTarget> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(target_);
    target_.reset();
  }
  if (is_main_log_) kelpd::log::PublishCrashSink(kelpd::log::CrashSink{});
}

bool CLog::HasTarget() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return target_ != nullptr;
}

std::shared_ptr<CLogTarget> CLog::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return target_;
}

void CLog::Write(int level, const char* text) {
  std::shared_ptr<CLogTarget> target = Current();
  if (target) target->Write(level, text ? text : "");
}

CLog& MainLog() {
  // Never destroyed: threads may still log while the process exits.
  static CLog* log = new CLog(true);
  return *log;
}

CLog& TrafficLog() {
  static CLog* log = new CLog(false);
  return *log;
}

void Error(CLog& channel, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatAndWrite(channel, kLevelError, format, args);
  va_end(args);
}

void Warning(CLog& channel, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatAndWrite(channel, kLevelWarning, format, args);
  va_end(args);
}

void Info(CLog& channel, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatAndWrite(channel, kLevelInfo, format, args);
  va_end(args);
}

void Log(CLog& channel, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatAndWrite(channel, level, format, args);
  va_end(args);
}

void Write(CLog& channel, int level, const char* text) { channel.Write(level, text); }

void SetTarget(CLog& channel, std::unique_ptr<CLogTarget> target) {
  channel.SetTarget(std::move(target));
}

const char* LevelName(int level) {
  static const char* const kNames[] = {"emergency", "alert",  "critical", "error",
                                       "warning",   "notice", "info",     "debug"};
  return (level >= 0 && level <= 7) ? kNames[level] : "unknown";
}
