#include "smtp/ConsoleOutput.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/FdIO.h"

namespace kelpd::smtp {
namespace {

std::mutex& ConsoleMutex() {
  static std::mutex mutex;
  return mutex;
}
std::string* captured_out = nullptr;  // guarded by ConsoleMutex()
std::string* captured_err = nullptr;  // guarded by ConsoleMutex()
std::atomic<bool> capturing{false};

bool StdoutUnread() {
  static const bool unread = kelpd::platform::WritesGoNowhere(1);
  return unread;
}

void WriteTo(std::FILE* stream, std::string* capture, const std::string& text) {
  if (capture != nullptr) {
    capture->append(text);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

bool StdoutWanted() { return capturing.load(std::memory_order_relaxed) || !StdoutUnread(); }

void WriteStdout(const std::string& text) {
  if (!StdoutWanted()) return;
  std::lock_guard<std::mutex> lock(ConsoleMutex());
  WriteTo(stdout, captured_out, text);
}

void WriteStderr(const std::string& text) {
  std::lock_guard<std::mutex> lock(ConsoleMutex());
  WriteTo(stderr, captured_err, text);
}

void CaptureConsoleForTests(std::string* out, std::string* err) {
  std::lock_guard<std::mutex> lock(ConsoleMutex());
  captured_out = out;
  captured_err = err;
  capturing.store(out != nullptr, std::memory_order_relaxed);
}

}  // namespace kelpd::smtp
