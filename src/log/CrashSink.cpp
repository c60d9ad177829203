#include "log/CrashSink.h"

#include <atomic>

#include "log/SignalSafeFormat.h"
#include "platform/LocalDatagram.h"
#include "platform/SignalSafe.h"
#include "platform/ThreadId.h"

namespace kelpd::log {

namespace {

// Two slots: the publisher fills the one not in use, then switches the index,
// so a handler never reads a half-written description.
CrashSink g_slots[2];
std::atomic<int> g_active{-1};
std::atomic<int> g_publishing{0};

struct CivilDate {
  int64_t year;
  unsigned month, day;
};

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's algorithm).
CivilDate CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {y + (m <= 2), m, d};
}

}  // namespace

void PublishCrashSink(const CrashSink& sink) {
  // Publishers are rare (start-up and configuration restarts); one at a time.
  while (g_publishing.exchange(1, std::memory_order_acquire) != 0) {
  }
  int next = g_active.load(std::memory_order_relaxed) == 0 ? 1 : 0;
  g_slots[next] = sink;
  g_active.store(next, std::memory_order_release);
  g_publishing.store(0, std::memory_order_release);
}

void WriteCrashLine(const char* text, size_t len) {
  int index = g_active.load(std::memory_order_acquire);
  if (index < 0) return;
  const CrashSink& sink = g_slots[index];
  char buf[1100];
  SignalSafeFormat out(buf, sizeof buf);
  uint32_t tid = platform::CurrentThreadId();
  switch (sink.kind) {
    case CrashSink::Kind::kNone:
      return;
    case CrashSink::Kind::kConsole: {
      int64_t local = platform::SignalSafeRealtimeSeconds() + sink.utc_offset_seconds;
      int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
      int64_t secs = local - days * 86400;
      CivilDate date = CivilFromDays(days);
      out.Padded(date.day, 2).Char('.').Padded(date.month, 2).Char('.');
      out.Padded(static_cast<uint64_t>(date.year), 4).Char(' ');
      out.Padded(static_cast<uint64_t>(secs / 3600), 2).Char(':');
      out.Padded(static_cast<uint64_t>(secs / 60 % 60), 2).Char(':');
      out.Padded(static_cast<uint64_t>(secs % 60), 2);
      out.Text(" [").Hex(tid, 4).Text("] error: ").Bytes(text, len > 1023 ? 1023 : len);
      out.Char('\n');
      platform::SignalSafeWriteStderr(out.data(), out.size());
      return;
    }
    case CrashSink::Kind::kSyslog:
    case CrashSink::Kind::kLocalSyslog: {
      out.Char('<').Unsigned(static_cast<uint64_t>(sink.facility | 3)).Text("> [");
      out.Hex(tid, 4).Text("] ").Text(sink.tag).Text(": ").Bytes(text, len);
      size_t n = out.size() > 512 ? 512 : out.size();
      if (sink.kind == CrashSink::Kind::kLocalSyslog &&
          platform::SignalSafeSendLocalDatagram(sink.socket_path, out.data(), n))
        return;
      platform::SignalSafeSendDatagram(sink.ipv4_address, sink.port, out.data(), n);
      return;
    }
  }
}

}  // namespace kelpd::log
