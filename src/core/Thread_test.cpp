#include "core/Thread.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <system_error>
#include <thread>

#include "platform/ThreadId.h"
#include "support/LogCapture.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelpd::testing::LogCapture;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Checks IsRunning() as often as it can, with no wait of its own: a stop
// that IsRunning() does not honour would keep it going for ever.
class BusyLoopThread : public CThread {
 public:
  std::atomic<int> runs{0};
  std::atomic<uint32_t> seen_id{0};

 protected:
  void Run() override {
    // The id first: the test reads it once it sees runs go up.
    seen_id = kelpd::platform::CurrentThreadId();
    ++runs;
    while (IsRunning()) std::this_thread::yield();
  }
};

// Ignores every stop request until the test releases it.
std::atomic<bool> g_release{false};
std::atomic<bool> g_ignorer_entered{false};
class IgnoringThread : public CThread {
 public:
  std::atomic<int> counter{0};

 protected:
  void Run() override {
    g_ignorer_entered = true;
    while (!g_release) {
      ++counter;  // touches the object after a Terminate: it must still be alive
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
};

class SleepingThread : public CThread {
 public:
  std::atomic<bool> slept_whole{true};
  std::atomic<bool> entered{false};

 protected:
  void Run() override {
    entered = true;
    while (IsRunning()) {
      if (!Sleep(60000)) slept_whole = false;
    }
  }
};

class RequestStopThread : public CThread {
 public:
  std::atomic<bool> request_called{false};

 protected:
  void Run() override {
    while (IsRunning()) Sleep(10);
  }
  void RequestStop() override { request_called = true; }
};

TEST(CThread, StopOfALoopThatChecksIsRunningIsQuick) {
  BusyLoopThread thread;
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.GetThreadId(), 0u);
  ASSERT_TRUE(thread.Start());
  EXPECT_NE(thread.GetThreadId(), 0u);
  EXPECT_FALSE(thread.Start());  // already running, and goes on running
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (thread.runs == 0 && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_EQ(thread.GetThreadId(), thread.seen_id.load());  // the kernel thread id
  // The body never ends by itself: a stop that IsRunning() missed would time out.
  EXPECT_TRUE(thread.Stop(5000));
  EXPECT_TRUE(thread.IsStopped());
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_TRUE(thread.HasEnded());
  EXPECT_EQ(thread.GetThreadId(), 0u);
  EXPECT_TRUE(thread.Stop(100));  // already ended: reported as ended
}

TEST(CThread, StopCallsRequestStop) {
  RequestStopThread thread;
  ASSERT_TRUE(thread.Start());
  EXPECT_TRUE(thread.Stop(5000));
  EXPECT_TRUE(thread.request_called);
}

TEST(CThread, StopOfAThreadThatIgnoresRequestsTimesOut) {
  LogCapture capture;
  g_release = false;
  g_ignorer_entered = false;
  auto thread = std::make_unique<IgnoringThread>();
  ASSERT_TRUE(thread->Start());
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!g_ignorer_entered && Clock::now() < deadline) std::this_thread::yield();
  auto start = Clock::now();
  EXPECT_FALSE(thread->Stop(300));
  EXPECT_GE(MsSince(start), 290);
  EXPECT_FALSE(thread->IsStopped());
  EXPECT_FALSE(thread->IsRunning());
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u) << capture.All();
  EXPECT_EQ(lines[0].level, kLevelError);
  EXPECT_TRUE(std::regex_match(
      lines[0].text,
      std::regex(R"(WaitForSingleObject timed out \(300 ms\) in Common\\Thread:\d+)")))
      << lines[0].text;
  g_release = true;
  EXPECT_TRUE(thread->Stop(5000));
  EXPECT_TRUE(thread->IsStopped());
}

TEST(CThread, StopWakesALongSleep) {
  SleepingThread thread;
  ASSERT_TRUE(thread.Start());
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!thread.entered && Clock::now() < deadline) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into the sleep
  // The sleep is a minute long: only a stop that wakes it ends within 5 s.
  EXPECT_TRUE(thread.Stop(5000));
  EXPECT_FALSE(thread.slept_whole);
}

TEST(CThread, TerminateMarksAnIgnoringThreadStoppedAndKeepsItAlive) {
  LogCapture capture;
  g_release = false;
  g_ignorer_entered = false;
  auto thread = std::make_unique<IgnoringThread>();
  ASSERT_TRUE(thread->Start());
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!g_ignorer_entered && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_FALSE(thread->Stop(50));
  EXPECT_TRUE(thread->Terminate(1));
  EXPECT_TRUE(thread->IsStopped());
  EXPECT_FALSE(thread->IsRunning());
  EXPECT_EQ(thread->GetThreadId(), 0u);
  EXPECT_EQ(thread->GetExitCode(), 1u);
  EXPECT_FALSE(thread->HasEnded());  // its body still runs
  EXPECT_FALSE(thread->Start());     // and a second body is not started beside it
  EXPECT_TRUE(thread->Stop(10));     // marked stopped
  EXPECT_EQ(capture.Count("Within Terminate at Common\\Thread:"), 1) << capture.All();
  EXPECT_FALSE(thread->Terminate(1));  // nothing left to terminate
  // The owner lets go of it; the body goes on touching the object safely.
  CThread::Dispose(std::move(thread));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  g_release = true;
}

TEST(CThread, TerminateOfAnUnstartedObjectLogsAndFails) {
  LogCapture capture;
  BusyLoopThread thread;
  EXPECT_FALSE(thread.Terminate(0));
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, kLevelInfo);
  EXPECT_TRUE(
      std::regex_match(lines[0].text, std::regex(R"(Within Terminate at Common\\Thread:\d+)")));
  EXPECT_FALSE(thread.Stop(100));  // never started: nothing to wait for
  EXPECT_FALSE(thread.IsStopped());
}

TEST(CThread, StopBeforeTheBodyBeginsIsKept) {
  // Stop right after Start often lands before the body has begun; the busy
  // body would then run for ever if the request were lost.
  for (int i = 0; i < 50; ++i) {
    BusyLoopThread thread;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.Stop(5000)) << "iteration " << i;
    EXPECT_TRUE(thread.IsStopped());
  }
}

TEST(CThread, DisposeOfAnEndedThreadDestroysIt) {
  auto thread = std::make_unique<BusyLoopThread>();
  ASSERT_TRUE(thread->Start());
  ASSERT_TRUE(thread->Stop(5000));
  CThread::Dispose(std::move(thread));  // under the sanitizer build: no leak reported
  CThread::Dispose(nullptr);
}

// With every descriptor taken, building a worker fails with an exception its
// creator reports; the process goes on.
TEST(CThread, ExhaustedDescriptorsFailTheConstructionNotTheProcess) {
#ifdef __SANITIZE_ADDRESS__
  // The undefined-behaviour checks that come with the address sanitizer test
  // whether memory is readable through a pipe; with every descriptor taken
  // they report each object as invalid, so the road can only run elsewhere.
  GTEST_SKIP() << "needs descriptors for the sanitizer's own checks";
#endif
  EXPECT_EXIT(
      {
        struct rlimit limit {};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 64;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        while (::open("/dev/null", O_RDONLY) >= 0) {
        }
        try {
          BusyLoopThread thread;
        } catch (const std::system_error&) {
          ::_exit(0);
        }
        ::_exit(1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ThreadRandom, SeedGivesARepeatableSequenceInRange) {
  kelpd::core::SeedThreadRandom(42);
  int a = kelpd::core::ThreadRandom(), b = kelpd::core::ThreadRandom();
  kelpd::core::SeedThreadRandom(42);
  EXPECT_EQ(kelpd::core::ThreadRandom(), a);
  EXPECT_EQ(kelpd::core::ThreadRandom(), b);
  for (int i = 0; i < 1000; ++i) {
    int r = kelpd::core::ThreadRandom();
    EXPECT_GE(r, 0);
    EXPECT_LE(r, 0x7FFF);
  }
}

}  // namespace
