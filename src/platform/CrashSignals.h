// The process's last line of defence: handlers for the fault signals and for
// an uncaught C++ exception that describe the failure as an exception record
// and hand it to one filter function before the process ends.
//
// The record uses the suite's exception codes, so that the crash line reads
// the same as the suite's other programs write it:
//   SIGSEGV (a fault)              -> access violation (or stack overflow when
//                                     the fault lies next to the stack pointer)
//   SIGFPE FPE_INTDIV/INTOVF/FLT*  -> integer or floating-point codes
//   SIGILL ILL_PRVOPC/PRVREG       -> privileged instruction, other -> illegal
//   SIGTRAP TRAP_TRACE             -> single step, a breakpoint -> breakpoint
//   SIGBUS BUS_ADRALN              -> misalignment, BUS_ADRERR/OBJERR -> in-page
//   uncaught exception             -> the C++ exception code
//   anything else (also a signal sent by kill or raise) -> the signal number
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelpd::platform {

constexpr uint32_t kExceptionDatatypeMisalignment = 0x80000002;
constexpr uint32_t kExceptionBreakpoint = 0x80000003;
constexpr uint32_t kExceptionSingleStep = 0x80000004;
constexpr uint32_t kExceptionAccessViolation = 0xC0000005;
constexpr uint32_t kExceptionInPageError = 0xC0000006;
constexpr uint32_t kExceptionIllegalInstruction = 0xC000001D;
constexpr uint32_t kExceptionNoncontinuable = 0xC0000025;
constexpr uint32_t kExceptionInvalidDisposition = 0xC0000026;
constexpr uint32_t kExceptionArrayBoundsExceeded = 0xC000008C;
constexpr uint32_t kExceptionFltDenormalOperand = 0xC000008D;
constexpr uint32_t kExceptionFltDivideByZero = 0xC000008E;
constexpr uint32_t kExceptionFltInexactResult = 0xC000008F;
constexpr uint32_t kExceptionFltInvalidOperation = 0xC0000090;
constexpr uint32_t kExceptionFltOverflow = 0xC0000091;
constexpr uint32_t kExceptionFltStackCheck = 0xC0000092;
constexpr uint32_t kExceptionFltUnderflow = 0xC0000093;
constexpr uint32_t kExceptionIntDivideByZero = 0xC0000094;
constexpr uint32_t kExceptionIntOverflow = 0xC0000095;
constexpr uint32_t kExceptionPrivInstruction = 0xC0000096;
constexpr uint32_t kExceptionStackOverflow = 0xC00000FD;
constexpr uint32_t kExceptionCppException = 0xE06D7363;

// An exception thrown by the program's own code carries this flag
// (it cannot be continued); faults carry none.
constexpr uint32_t kExceptionFlagNoncontinuable = 1;

struct ExceptionRecord {
  uint32_t code = 0;  // one of the codes above, or the signal number
  uint32_t flags = 0;
  const void* address = nullptr;  // the faulting instruction
  // Access violation and in-page error: 1 for a write, 0 for a read (the
  // page-fault error code; 0 where the machine does not tell), and the
  // inaccessible address. In-page error: the status code, always 0 here.
  uint32_t access_kind = 0;
  const void* access_address = nullptr;
  uint32_t status = 0;
};

// The filter runs on the failing thread, inside a signal handler: it may use
// async-signal-safe calls only. It runs once per failing thread; a fault
// inside the filter ends the process at once.
using CrashFilter = void (*)(const ExceptionRecord& record);

// Installs filter for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP and SIGABRT
// (on an alternate signal stack, so that a stack overflow can still be
// reported) and as the handler of std::terminate. After the filter the
// default action of the signal ends the process; after an uncaught exception
// the process ends by SIGABRT without a second line. Call once, early in
// main, before any thread starts; it gives the main thread its alternate
// stack.
void InstallCrashFilter(CrashFilter filter);

// An alternate signal stack for the calling thread, removed when the object
// is destroyed. Every worker thread holds one for its whole life, so that a
// stack overflow on a worker is reported too.
class ThreadCrashStack {
 public:
  ThreadCrashStack();
  ~ThreadCrashStack();
  ThreadCrashStack(const ThreadCrashStack&) = delete;
  ThreadCrashStack& operator=(const ThreadCrashStack&) = delete;

 private:
  void* stack_ = nullptr;
  size_t size_ = 0;
};

// Translates a signal as the handler sees it into an exception record. The
// signal-specific parts are passed in separately so the mapping can be
// tested without faulting: sp is the stack pointer at the fault (nullptr
// when unknown), write_fault the page-fault error code's write bit.
ExceptionRecord RecordFromSignal(int signal, int si_code, const void* fault_addr, const void* pc,
                                 const void* sp, bool write_fault);

}  // namespace kelpd::platform
