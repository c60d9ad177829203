// The few system calls the crash reporter may make from a signal handler.
// Every function here is async-signal-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelpd::platform {

// Seconds since 1970 from CLOCK_REALTIME.
int64_t SignalSafeRealtimeSeconds();

// Sends one UDP datagram from a fresh socket to ipv4 (network order):port.
void SignalSafeSendDatagram(uint32_t ipv4, uint16_t port, const void* data, size_t len);

// Writes to standard error.
void SignalSafeWriteStderr(const void* data, size_t len);

}  // namespace kelpd::platform
