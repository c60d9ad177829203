#include "core/CrashReporter.h"

#include "log/CrashSink.h"
#include "log/SignalSafeFormat.h"
#include "platform/ThreadId.h"

namespace kelpd::core {

namespace {

struct CodeName {
  uint32_t code;
  const char* name;
};

// Codes whose line is the name followed by the common fields only.
constexpr CodeName kPlainCodes[] = {
    {platform::kExceptionDatatypeMisalignment, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {platform::kExceptionBreakpoint, "EXCEPTION_BREAKPOINT"},
    {platform::kExceptionSingleStep, "EXCEPTION_SINGLE_STEP"},
    {platform::kExceptionIllegalInstruction, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {platform::kExceptionNoncontinuable, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {platform::kExceptionInvalidDisposition, "EXCEPTION_INVALID_DISPOSITION"},
    {platform::kExceptionArrayBoundsExceeded, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {platform::kExceptionFltDenormalOperand, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {platform::kExceptionFltDivideByZero, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {platform::kExceptionFltInexactResult, "EXCEPTION_FLT_INEXACT_RESULT"},
    {platform::kExceptionFltInvalidOperation, "EXCEPTION_FLT_INVALID_OPERATION"},
    {platform::kExceptionFltOverflow, "EXCEPTION_FLT_OVERFLOW"},
    {platform::kExceptionFltStackCheck, "EXCEPTION_FLT_STACK_CHECK"},
    {platform::kExceptionFltUnderflow, "EXCEPTION_FLT_UNDERFLOW"},
    {platform::kExceptionIntDivideByZero, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {platform::kExceptionIntOverflow, "EXCEPTION_INT_OVERFLOW"},
    {platform::kExceptionPrivInstruction, "EXCEPTION_PRIV_INSTRUCTION"},
    {platform::kExceptionStackOverflow, "EXCEPTION_STACK_OVERFLOW"},
    {platform::kExceptionCppException, "UNHANDLED_CPP_EXCEPTION"},
};

void CommonFields(log::SignalSafeFormat& out, const platform::ExceptionRecord& record,
                  uint32_t thread_id) {
  out.Text("Thread=0x").Hex(thread_id, 4);
  out.Text(" Flags=").Unsigned(record.flags);
  out.Text(" Addr=").Pointer(record.address);
}

void ReportCrash(const platform::ExceptionRecord& record) {
  char line[256];
  size_t len = FormatCrashLine(record, platform::CurrentThreadId(), line, sizeof line);
  log::WriteCrashLine(line, len);
}

}  // namespace

size_t FormatCrashLine(const platform::ExceptionRecord& record, uint32_t thread_id, char* buf,
                       size_t capacity) {
  log::SignalSafeFormat out(buf, capacity);
  if (record.code == platform::kExceptionAccessViolation ||
      record.code == platform::kExceptionInPageError) {
    bool in_page = record.code == platform::kExceptionInPageError;
    out.Text(in_page ? "EXCEPTION_IN_PAGE_ERROR: " : "EXCEPTION_ACCESS_VIOLATION: ");
    CommonFields(out, record, thread_id);
    out.Text(" Write=").Unsigned(record.access_kind);
    out.Text(" AccessAddr=").Pointer(record.access_address);
    if (in_page) out.Text(" NTSTATUS=").Unsigned(record.status);
    return out.size();
  }
  for (const CodeName& entry : kPlainCodes) {
    if (entry.code == record.code) {
      out.Text(entry.name).Text(": ");
      CommonFields(out, record, thread_id);
      return out.size();
    }
  }
  out.Text("UNKNOWN EXCEPTION: Code=").Unsigned(record.code).Char(' ');
  CommonFields(out, record, thread_id);
  return out.size();
}

void InstallCrashReporter() { platform::InstallCrashFilter(&ReportCrash); }

}  // namespace kelpd::core
