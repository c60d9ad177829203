// Where the crash reporter writes its one line: a description of the main
// log's current target that can be used from a signal handler (no locks, no
// allocation, no name lookup). Published whenever the main log's target changes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelpd::log {

struct CrashSink {
  enum class Kind { kNone, kConsole, kSyslog, kLocalSyslog };
  Kind kind = Kind::kNone;
  // kConsole: the offset of local time from UTC when the target was installed.
  long utc_offset_seconds = 0;
  // kSyslog: the receiver, the facility code * 8 and the tag.
  uint32_t ipv4_address = 0;  // network byte order
  uint16_t port = 0;          // host byte order
  int facility = 0;
  char tag[32] = {0};
  // kLocalSyslog: the local syslog socket; the receiver above (with facility
  // and tag) takes the line when the socket does not.
  char socket_path[108] = {0};
};

// Makes sink the description used by WriteCrashLine. Not async-signal-safe;
// called by the main log when its target changes.
void PublishCrashSink(const CrashSink& sink);

// Writes text as one error-level line of the main log's current target, in
// that target's format. Async-signal-safe.
void WriteCrashLine(const char* text, size_t len);

}  // namespace kelpd::log
