// The two process-wide log channels (main log and traffic log) and the
// printf-style functions every part of the service writes with.
//
// Thread safety: any thread may write to a channel at any time; SetTarget may
// run while other threads write. A write that began with the old target
// finishes with it; the old target is destroyed after its last writer.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "log/LogTarget.h"

class CLog {
 public:
  CLog() = default;
  explicit CLog(bool is_main_log) : is_main_log_(is_main_log) {}
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  // Installs target, destroying the previous one once no writer uses it.
  // A null target changes nothing.
  void SetTarget(std::unique_ptr<CLogTarget> target);
  // Removes the target (for tests): later writes are dropped.
  void ClearTarget();
  bool HasTarget() const;
  // Hands text to the current target; does nothing without one.
  void Write(int level, const char* text);

 private:
  std::shared_ptr<CLogTarget> Current() const;

  bool is_main_log_ = false;
  mutable std::mutex mutex_;  // guards target_
  std::shared_ptr<CLogTarget> target_;
};

// The process-wide channels. They live until the process ends.
CLog& MainLog();
CLog& TrafficLog();

// Severity levels.
constexpr int kLevelError = 3;
constexpr int kLevelWarning = 4;
constexpr int kLevelInfo = 6;
constexpr int kLevelDebug = 7;

// Formats printf-style into 1024 bytes (text beyond 1023 characters is cut)
// and writes at the named level. Untrusted text is always passed as an
// argument ("%s"), never as the format.
void Error(CLog& channel, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Warning(CLog& channel, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Info(CLog& channel, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Log(CLog& channel, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
void Write(CLog& channel, int level, const char* text);
void SetTarget(CLog& channel, std::unique_ptr<CLogTarget> target);

// The name of a level in console lines ("error", "warning", ...).
const char* LevelName(int level);
