#include "core/CrashReporter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>

#include "log/ConsoleLogTarget.h"
#include "log/Log.h"
#include "platform/CrashSignals.h"

namespace {

using kelpd::platform::ExceptionRecord;

std::string Line(const ExceptionRecord& r, uint32_t tid) {
  char buf[256];
  size_t n = kelpd::core::FormatCrashLine(r, tid, buf, sizeof buf);
  return std::string(buf, n);
}

TEST(CrashReporter, LinesByExceptionCode) {
  ExceptionRecord av;
  av.code = kelpd::platform::kExceptionAccessViolation;
  av.address = reinterpret_cast<const void*>(0x401a2b);
  av.access_kind = 1;
  av.access_address = nullptr;
  EXPECT_EQ(Line(av, 0x0B2C),
            "EXCEPTION_ACCESS_VIOLATION: Thread=0x0B2C Flags=0 Addr=0x401a2b Write=1 "
            "AccessAddr=(nil)");

  ExceptionRecord in_page;
  in_page.code = kelpd::platform::kExceptionInPageError;
  in_page.address = reinterpret_cast<const void*>(0x10);
  in_page.access_address = reinterpret_cast<const void*>(0x7f0000001000);
  EXPECT_EQ(Line(in_page, 0x1F),
            "EXCEPTION_IN_PAGE_ERROR: Thread=0x001F Flags=0 Addr=0x10 Write=0 "
            "AccessAddr=0x7f0000001000 NTSTATUS=0");

  ExceptionRecord cpp;
  cpp.code = kelpd::platform::kExceptionCppException;
  cpp.flags = 1;
  EXPECT_EQ(Line(cpp, 0x12345), "UNHANDLED_CPP_EXCEPTION: Thread=0x12345 Flags=1 Addr=(nil)");

  ExceptionRecord div;
  div.code = kelpd::platform::kExceptionIntDivideByZero;
  div.address = reinterpret_cast<const void*>(0xabc);
  EXPECT_EQ(Line(div, 7), "EXCEPTION_INT_DIVIDE_BY_ZERO: Thread=0x0007 Flags=0 Addr=0xabc");

  ExceptionRecord overflow;
  overflow.code = kelpd::platform::kExceptionStackOverflow;
  EXPECT_EQ(Line(overflow, 7), "EXCEPTION_STACK_OVERFLOW: Thread=0x0007 Flags=0 Addr=(nil)");

  // A code outside the table is printed in decimal first.
  ExceptionRecord unknown;
  unknown.code = 6;
  EXPECT_EQ(Line(unknown, 0xA), "UNKNOWN EXCEPTION: Code=6 Thread=0x000A Flags=0 Addr=(nil)");
  unknown.code = 0xC0000374;
  EXPECT_EQ(Line(unknown, 0xA),
            "UNKNOWN EXCEPTION: Code=3221226356 Thread=0x000A Flags=0 Addr=(nil)");
}

// Runs body in a forked child whose main log is a console target on a pipe,
// with the crash reporter installed; returns what the child wrote and how it
// ended.
struct CrashOutcome {
  std::string output;
  int status = 0;
  pid_t pid = 0;
};

template <typename Body>
CrashOutcome RunCrashingChild(Body body, bool with_target = true) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  CrashOutcome outcome;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 2);  // console lines and crash lines go to standard error
    kelpd::core::InstallCrashReporter();
    if (with_target) SetTarget(MainLog(), std::make_unique<CConsoleLogTarget>());
    // gtest catches what a test throws; here nothing may.
    [&]() noexcept { body(); }();
    ::_exit(99);  // not reached when the body fails as intended
  }
  ::close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) outcome.output.append(buf, n);
  ::close(fds[0]);
  ::waitpid(pid, &outcome.status, 0);
  outcome.pid = pid;
  return outcome;
}

size_t CountLines(const std::string& s) {
  size_t n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

std::string Hex4(unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", v);
  return buf;
}

#if defined(__GNUC__)
#define KELPD_NO_SANITIZE __attribute__((noinline, no_sanitize("undefined", "address")))
#else
#define KELPD_NO_SANITIZE
#endif

// Through a volatile pointer, so that the compiler cannot see the null.
volatile int* volatile g_null = nullptr;
KELPD_NO_SANITIZE void WriteNull() { *g_null = 1; }
KELPD_NO_SANITIZE int ReadNull() { return *g_null; }
KELPD_NO_SANITIZE int DivideByZero() {
  volatile int zero = 0;
  volatile int one = 1;
  volatile int result = one / zero;
  return result;
}
volatile int g_depth_limit = -1;  // never reached; keeps the recursion honest
KELPD_NO_SANITIZE int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth == g_depth_limit) return 0;
  return Recurse(depth + 1) + frame[0];
}

TEST(CrashReporter, NullWriteGivesOneAccessViolationLine) {
  CrashOutcome out = RunCrashingChild([] { WriteNull(); });
  ASSERT_TRUE(WIFSIGNALED(out.status)) << out.status;
  EXPECT_EQ(WTERMSIG(out.status), SIGSEGV);
  EXPECT_EQ(CountLines(out.output), 1u) << out.output;
  // The main thread's kernel id is the process id.
  std::string tid = Hex4(static_cast<unsigned>(out.pid));
  std::regex line("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d \\[" + tid +
                  "\\] error: EXCEPTION_ACCESS_VIOLATION: Thread=0x" + tid +
                  " Flags=0 Addr=0x[0-9a-f]+ Write=1 AccessAddr=\\(nil\\)\n$");
  EXPECT_TRUE(std::regex_match(out.output, line)) << out.output;
}

TEST(CrashReporter, NullReadIsNoWrite) {
  CrashOutcome out = RunCrashingChild([] { (void)ReadNull(); });
  ASSERT_TRUE(WIFSIGNALED(out.status));
  EXPECT_EQ(WTERMSIG(out.status), SIGSEGV);
  EXPECT_EQ(CountLines(out.output), 1u) << out.output;
  EXPECT_NE(out.output.find("EXCEPTION_ACCESS_VIOLATION: Thread=0x"), std::string::npos);
  EXPECT_NE(out.output.find(" Write=0 AccessAddr=(nil)\n"), std::string::npos) << out.output;
}

TEST(CrashReporter, IntegerDivisionByZero) {
  CrashOutcome out = RunCrashingChild([] { (void)DivideByZero(); });
  ASSERT_TRUE(WIFSIGNALED(out.status));
  EXPECT_EQ(WTERMSIG(out.status), SIGFPE);
  EXPECT_EQ(CountLines(out.output), 1u) << out.output;
  EXPECT_TRUE(std::regex_search(
      out.output, std::regex("error: EXCEPTION_INT_DIVIDE_BY_ZERO: Thread=0x[0-9A-F]{4,} "
                             "Flags=0 Addr=0x[0-9a-f]+\n$")))
      << out.output;
}

TEST(CrashReporter, UncaughtExceptionGivesExactlyOneLine) {
  CrashOutcome out = RunCrashingChild([] { throw std::runtime_error("nobody catches this"); });
  ASSERT_TRUE(WIFSIGNALED(out.status));
  EXPECT_EQ(WTERMSIG(out.status), SIGABRT);
  EXPECT_EQ(CountLines(out.output), 1u) << out.output;
  EXPECT_TRUE(std::regex_search(
      out.output, std::regex("error: UNHANDLED_CPP_EXCEPTION: Thread=0x[0-9A-F]{4,} Flags=1 "
                             "Addr=(0x[0-9a-f]+|\\(nil\\))\n$")))
      << out.output;
}

TEST(CrashReporter, UncaughtExceptionOnAnotherThreadNamesThatThread) {
  CrashOutcome out = RunCrashingChild([] {
    std::thread worker([] { throw 42; });
    worker.join();
  });
  ASSERT_TRUE(WIFSIGNALED(out.status));
  EXPECT_EQ(WTERMSIG(out.status), SIGABRT);
  EXPECT_EQ(CountLines(out.output), 1u) << out.output;
  EXPECT_NE(out.output.find("UNHANDLED_CPP_EXCEPTION"), std::string::npos);
  // Not the main thread's id.
  EXPECT_EQ(out.output.find("Thread=0x" + Hex4(static_cast<unsigned>(out.pid)) + " "),
            std::string::npos)
      << out.output;
}

TEST(CrashReporter, StackOverflowOnAWorkerThread) {
  CrashOutcome out = RunCrashingChild([] {
    std::thread worker([] {
      kelpd::platform::ThreadCrashStack alt_stack;
      (void)Recurse(0);
    });
    worker.join();
  });
  ASSERT_TRUE(WIFSIGNALED(out.status));
  EXPECT_EQ(WTERMSIG(out.status), SIGSEGV);
  EXPECT_EQ(CountLines(out.output), 1u) << out.output;
  EXPECT_NE(out.output.find("error: EXCEPTION_STACK_OVERFLOW: Thread=0x"), std::string::npos)
      << out.output;
}

TEST(CrashReporter, AbortIsAnUnknownExceptionWithTheSignalNumber) {
  CrashOutcome out = RunCrashingChild([] { ::abort(); });
  ASSERT_TRUE(WIFSIGNALED(out.status));
  EXPECT_EQ(WTERMSIG(out.status), SIGABRT);
  EXPECT_EQ(CountLines(out.output), 1u) << out.output;
  EXPECT_NE(out.output.find("error: UNKNOWN EXCEPTION: Code=6 Thread=0x"), std::string::npos)
      << out.output;
}

TEST(CrashReporter, WithoutTargetNothingIsWrittenAndTheSignalStillEnds) {
  CrashOutcome out = RunCrashingChild([] { WriteNull(); }, false);
  ASSERT_TRUE(WIFSIGNALED(out.status));
  EXPECT_EQ(WTERMSIG(out.status), SIGSEGV);
  EXPECT_EQ(out.output, "");
}

}  // namespace
