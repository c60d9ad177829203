// The crash reporter: when a fault or an exception escapes every handler on
// any thread, one error line describing it goes to the main log's current
// target before the process ends by the signal.
//
// Lines (Thread is the kernel id of the failing thread, Flags 0 for a fault
// and 1 for an exception of the program's own, Addr the faulting address):
//   "EXCEPTION_ACCESS_VIOLATION: Thread=0x%04X Flags=%u Addr=%p Write=%u AccessAddr=%p"
//   "UNHANDLED_CPP_EXCEPTION: Thread=0x%04X Flags=%u Addr=%p"
//   "UNKNOWN EXCEPTION: Code=%u Thread=0x%04X Flags=%u Addr=%p"
//   ... one per exception code of platform/CrashSignals.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/CrashSignals.h"

namespace kelpd::core {

// Installs the reporter for the whole process. Call first in main, before any
// thread starts.
void InstallCrashReporter();

// Formats the crash line of record as written on thread thread_id into buf
// (no line end); returns its length. Async-signal-safe.
size_t FormatCrashLine(const platform::ExceptionRecord& record, uint32_t thread_id, char* buf,
                       size_t capacity);

}  // namespace kelpd::core
