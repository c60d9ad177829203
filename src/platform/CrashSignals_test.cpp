#include "platform/CrashSignals.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace kelpd::platform {
namespace {

const void* P(uintptr_t v) { return reinterpret_cast<const void*>(v); }

TEST(CrashSignals, SignalAndCodeSelectTheExceptionCode) {
  const void* pc = P(0x401000);
  const void* sp = P(0x7ffd00100000);
  struct Case {
    int sig, code;
    uint32_t expected;
  } cases[] = {
      {SIGSEGV, SEGV_MAPERR, kExceptionAccessViolation},
      {SIGSEGV, SEGV_ACCERR, kExceptionAccessViolation},
      {SIGFPE, FPE_INTDIV, kExceptionIntDivideByZero},
      {SIGFPE, FPE_INTOVF, kExceptionIntOverflow},
      {SIGFPE, FPE_FLTDIV, kExceptionFltDivideByZero},
      {SIGFPE, FPE_FLTOVF, kExceptionFltOverflow},
      {SIGFPE, FPE_FLTUND, kExceptionFltUnderflow},
      {SIGFPE, FPE_FLTRES, kExceptionFltInexactResult},
      {SIGFPE, FPE_FLTINV, kExceptionFltInvalidOperation},
      {SIGFPE, FPE_FLTSUB, static_cast<uint32_t>(SIGFPE)},
      {SIGILL, ILL_PRVOPC, kExceptionPrivInstruction},
      {SIGILL, ILL_PRVREG, kExceptionPrivInstruction},
      {SIGILL, ILL_ILLOPN, kExceptionIllegalInstruction},
      {SIGTRAP, TRAP_BRKPT, kExceptionBreakpoint},
      {SIGTRAP, TRAP_TRACE, kExceptionSingleStep},
      {SIGBUS, BUS_ADRALN, kExceptionDatatypeMisalignment},
      {SIGBUS, BUS_ADRERR, kExceptionInPageError},
      {SIGBUS, BUS_OBJERR, kExceptionInPageError},
      // Sent by kill or raise rather than by a fault: the signal number.
      {SIGSEGV, SI_USER, static_cast<uint32_t>(SIGSEGV)},
      {SIGABRT, SI_TKILL, static_cast<uint32_t>(SIGABRT)},
  };
  for (const Case& c : cases) {
    ExceptionRecord r = RecordFromSignal(c.sig, c.code, P(0x10), pc, sp, false);
    EXPECT_EQ(r.code, c.expected) << "signal " << c.sig << " code " << c.code;
    EXPECT_EQ(r.flags, 0u);
    EXPECT_EQ(r.address, pc);
  }
}

TEST(CrashSignals, AccessViolationCarriesKindAndAddress) {
  ExceptionRecord w =
      RecordFromSignal(SIGSEGV, SEGV_MAPERR, nullptr, P(0x1234), P(0x7ffd0000), true);
  EXPECT_EQ(w.code, kExceptionAccessViolation);
  EXPECT_EQ(w.access_kind, 1u);
  EXPECT_EQ(w.access_address, nullptr);
  ExceptionRecord r = RecordFromSignal(SIGBUS, BUS_ADRERR, P(0x5000), P(0x1234), nullptr, false);
  EXPECT_EQ(r.code, kExceptionInPageError);
  EXPECT_EQ(r.access_kind, 0u);
  EXPECT_EQ(r.access_address, P(0x5000));
  EXPECT_EQ(r.status, 0u);
}

TEST(CrashSignals, FaultNextToTheStackPointerIsAStackOverflow) {
  const void* sp = P(0x7ffd00100000);
  EXPECT_EQ(RecordFromSignal(SIGSEGV, SEGV_MAPERR, P(0x7ffd000ffff8), nullptr, sp, true).code,
            kExceptionStackOverflow);
  EXPECT_EQ(
      RecordFromSignal(SIGSEGV, SEGV_ACCERR, P(0x7ffd00100000 - 8192), nullptr, sp, true).code,
      kExceptionStackOverflow);
  // Far from the stack, or unknown stack pointer: an access violation.
  EXPECT_EQ(RecordFromSignal(SIGSEGV, SEGV_MAPERR, P(0x7ffd00000000), nullptr, sp, true).code,
            kExceptionAccessViolation);
  EXPECT_EQ(RecordFromSignal(SIGSEGV, SEGV_MAPERR, P(0x7ffd000ffff8), nullptr, nullptr, true).code,
            kExceptionAccessViolation);
}

}  // namespace
}  // namespace kelpd::platform
