#include "remote/QueueControl.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "base/Clock.h"
#include "base/Paths.h"
#include "mail/QueueControl.h"
#include "platform/Files.h"
#include "platform/ThreadId.h"

namespace kelpd::remote {

namespace {

std::atomic<uint64_t> g_delivered{0};
std::atomic<uint64_t> g_failed{0};
const int64_t g_started = kelpd::base::NowSeconds();

}  // namespace

void CountDelivered() { g_delivered.fetch_add(1, std::memory_order_relaxed); }
void CountFailed() { g_failed.fetch_add(1, std::memory_order_relaxed); }

bool TakeRetryRequest(const std::string& dir) {
  return platform::RemoveFile(MakePath(dir, kelpd::mail::kRetryRequestName)).ok();
}

void PublishDeliveryFigures(const std::string& dir, bool force) {
  static std::mutex mutex;
  static bool written = false;
  static uint64_t last_delivered = 0;
  static uint64_t last_failed = 0;
  static std::chrono::steady_clock::time_point last_write;
  static std::string last_dir;  // a restart may name another directory
  std::lock_guard<std::mutex> lock(mutex);
  if (dir != last_dir) written = false;
  const uint64_t delivered = g_delivered.load(std::memory_order_relaxed);
  const uint64_t failed = g_failed.load(std::memory_order_relaxed);
  if (written && delivered == last_delivered && failed == last_failed) return;
  // At most one write a second while mail flows: readers poll the file.
  const auto now = std::chrono::steady_clock::now();
  if (written && !force && now - last_write < std::chrono::seconds(1)) return;
  const std::string text = "pid: " + std::to_string(platform::CurrentProcessId()) +
                           "\nstarted: " + std::to_string(g_started) +
                           "\ndelivered: " + std::to_string(delivered) +
                           "\nfailed: " + std::to_string(failed) + "\n";
  if (!platform::WriteFileWhole(MakePath(dir, kelpd::mail::kDeliveryFiguresName), {text},
                                {.replace = true})
           .ok())
    return;  // tried again at the next call
  written = true;
  last_dir = dir;
  last_write = now;
  last_delivered = delivered;
  last_failed = failed;
}

}  // namespace kelpd::remote
