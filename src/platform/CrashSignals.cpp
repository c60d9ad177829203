#include "platform/CrashSignals.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <exception>

namespace kelpd::platform {

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT};

// Room for the filter and the log line it formats (about 2 KB), with a wide
// margin for sanitizer run-times that also run on this stack.
constexpr size_t kAltStackSize = 64 * 1024;

// How close to the stack pointer a fault must be to count as a stack
// overflow: the largest frame a function pushes before touching it.
constexpr uintptr_t kStackOverflowReach = 64 * 1024;

std::atomic<CrashFilter> g_filter{nullptr};

// Set while the calling thread runs the filter: a second fault inside it
// must not loop.
thread_local volatile sig_atomic_t t_in_filter = 0;

void RestoreDefault(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
}

// Makes sig pending for the calling thread. It is blocked while the handler
// runs and is delivered, with its default action, when the handler returns;
// a fault would also recur when the instruction is executed again.
void Reraise(int sig) {
  RestoreDefault(sig);
  ::syscall(SYS_tgkill, ::getpid(), ::syscall(SYS_gettid), sig);
}

void RunFilter(const ExceptionRecord& record) {
  CrashFilter filter = g_filter.load(std::memory_order_acquire);
  if (filter == nullptr || t_in_filter) return;
  t_in_filter = 1;
  filter(record);
}

void OnFaultSignal(int sig, siginfo_t* info, void* context) {
  if (t_in_filter) {  // the filter itself failed: end now
    Reraise(sig);
    return;
  }
  const void* pc = info->si_addr;
  const void* sp = nullptr;
  bool write_fault = false;
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  if (uc != nullptr) {
    pc = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
    sp = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RSP]);
    // Bit 1 of the page-fault error code: the access was a write.
    write_fault = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
  }
#elif defined(__aarch64__)
  if (uc != nullptr) {
    pc = reinterpret_cast<const void*>(uc->uc_mcontext.pc);
    sp = reinterpret_cast<const void*>(uc->uc_mcontext.sp);
  }
#else
  (void)uc;
#endif
  ExceptionRecord record = RecordFromSignal(sig, info->si_code, info->si_addr, pc, sp, write_fault);
  RunFilter(record);
  Reraise(sig);
}

[[noreturn]] void OnTerminate() {
  ExceptionRecord record;
  record.code = kExceptionCppException;
  record.flags = kExceptionFlagNoncontinuable;
  record.address = __builtin_return_address(0);
  RunFilter(record);
  // The abort that follows must end the process without a line of its own.
  RestoreDefault(SIGABRT);
  sigset_t abrt;
  sigemptyset(&abrt);
  sigaddset(&abrt, SIGABRT);
  ::pthread_sigmask(SIG_UNBLOCK, &abrt, nullptr);
  ::abort();
}

bool IsUserSent(int si_code) { return si_code <= 0; }  // SI_USER, SI_TKILL, SI_QUEUE, ...

void* MapStack(size_t size) {
  void* p =
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

bool UseAltStack(void* stack, size_t size) {
  stack_t ss{};
  ss.ss_sp = stack;
  ss.ss_size = size;
  ss.ss_flags = 0;
  return ::sigaltstack(&ss, nullptr) == 0;
}

}  // namespace

ExceptionRecord RecordFromSignal(int signal, int si_code, const void* fault_addr, const void* pc,
                                 const void* sp, bool write_fault) {
  ExceptionRecord r;
  r.address = pc;
  r.code = static_cast<uint32_t>(signal);  // unknown unless a case below applies
  if (IsUserSent(si_code)) return r;
  switch (signal) {
    case SIGSEGV: {
      uintptr_t access = reinterpret_cast<uintptr_t>(fault_addr);
      uintptr_t stack = reinterpret_cast<uintptr_t>(sp);
      if (sp != nullptr && access != 0 && access + kStackOverflowReach >= stack &&
          access <= stack + kStackOverflowReach) {
        r.code = kExceptionStackOverflow;
        return r;
      }
      r.code = kExceptionAccessViolation;
      r.access_kind = write_fault ? 1 : 0;
      r.access_address = fault_addr;
      return r;
    }
    case SIGBUS:
      if (si_code == BUS_ADRALN) {
        r.code = kExceptionDatatypeMisalignment;
      } else if (si_code == BUS_ADRERR || si_code == BUS_OBJERR) {
        r.code = kExceptionInPageError;
        r.access_kind = write_fault ? 1 : 0;
        r.access_address = fault_addr;
        r.status = 0;
      }
      return r;
    case SIGFPE:
      switch (si_code) {
        case FPE_INTDIV:
          r.code = kExceptionIntDivideByZero;
          break;
        case FPE_INTOVF:
          r.code = kExceptionIntOverflow;
          break;
        case FPE_FLTDIV:
          r.code = kExceptionFltDivideByZero;
          break;
        case FPE_FLTOVF:
          r.code = kExceptionFltOverflow;
          break;
        case FPE_FLTUND:
          r.code = kExceptionFltUnderflow;
          break;
        case FPE_FLTRES:
          r.code = kExceptionFltInexactResult;
          break;
        case FPE_FLTINV:
          r.code = kExceptionFltInvalidOperation;
          break;
        default:
          break;
      }
      return r;
    case SIGILL:
      r.code = (si_code == ILL_PRVOPC || si_code == ILL_PRVREG) ? kExceptionPrivInstruction
                                                                : kExceptionIllegalInstruction;
      return r;
    case SIGTRAP:
      // An int3 on x86-64 arrives with SI_KERNEL rather than TRAP_BRKPT.
      if (si_code == TRAP_TRACE) {
        r.code = kExceptionSingleStep;
      } else if (si_code == TRAP_BRKPT || si_code == SI_KERNEL) {
        r.code = kExceptionBreakpoint;
      }
      return r;
    default:
      return r;
  }
}

void InstallCrashFilter(CrashFilter filter) {
  g_filter.store(filter, std::memory_order_release);
  // The main thread's alternate stack lives as long as the process.
  if (void* stack = MapStack(kAltStackSize)) (void)UseAltStack(stack, kAltStackSize);
  struct sigaction sa {};
  sa.sa_sigaction = &OnFaultSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int sig : kFaultSignals) ::sigaction(sig, &sa, nullptr);
  std::set_terminate(&OnTerminate);
}

ThreadCrashStack::ThreadCrashStack() {
  stack_ = MapStack(kAltStackSize);
  if (stack_ == nullptr)
    return;  // the thread runs without; a stack overflow then ends it unreported
  size_ = kAltStackSize;
  if (!UseAltStack(stack_, size_)) {
    ::munmap(stack_, size_);
    stack_ = nullptr;
  }
}

ThreadCrashStack::~ThreadCrashStack() {
  if (stack_ == nullptr) return;
  stack_t ss{};
  ss.ss_flags = SS_DISABLE;
  ::sigaltstack(&ss, nullptr);
  ::munmap(stack_, size_);
}

}  // namespace kelpd::platform
