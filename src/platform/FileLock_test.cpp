#include "platform/FileLock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/StopSignal.h"
#include "support/ForeignLock.h"
#include "support/TempDir.h"

namespace kelpd::platform {
namespace {

using kelpd::testing::TempDir;

// Points the lock directory at a fresh temporary tree for one test.
class FileLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lock_dir_ = dir_.Join("locks/nested");  // created by the first lock
    ::setenv("MAILLOCKDIR", lock_dir_.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("MAILLOCKDIR"); }

  TempDir dir_;
  std::string lock_dir_;
};

TEST(LockFileNameTest, EscapesBytesOutsideThePortableSetAndHashesLongNames) {
  EXPECT_EQ(LockFileName("a-b_c.1"), "a-b_c.1.lock");
  EXPECT_EQ(LockFileName("/var/spool/x y\xE9"), "%2Fvar%2Fspool%2Fx%20y%E9.lock");
  EXPECT_EQ(LockFileName(".."), "%2E%2E.lock");
  const std::string long_name(300, 'a');
  const std::string hashed = LockFileName(long_name);
  EXPECT_EQ(hashed.size(), 64u + 5u);
  EXPECT_EQ(hashed, LockFileName(long_name));
  EXPECT_NE(hashed, LockFileName(std::string(301, 'a')));
}

TEST_F(FileLockTest, CreatesTheDirectoryAndRemovesTheLockFileOnUnlock) {
  // Under the usual umask too, only the suite's group can reach the locks.
  const mode_t old_umask = ::umask(022);
  NamedLock lock("mail1");
  ASSERT_EQ(lock.Lock(0), LockResult::kAcquired);
  ::umask(old_umask);
  const std::string path = lock_dir_ + "/mail1.lock";
  struct stat st {};
  ASSERT_EQ(::stat(lock_dir_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02770u);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  lock.Unlock();
  EXPECT_NE(::stat(path.c_str(), &st), 0);
}

TEST_F(FileLockTest, ExcludesASecondHolderInTheSameProcessUntilReleased) {
  NamedLock first("shared");
  ASSERT_EQ(first.Lock(0), LockResult::kAcquired);
  NamedLock second("shared");
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(second.Lock(150), LockResult::kTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140));

  NamedLock other("other");  // another name is independent
  EXPECT_EQ(other.Lock(0), LockResult::kAcquired);

  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    first.Unlock();
  });
  EXPECT_EQ(second.Lock(5000), LockResult::kAcquired);
  releaser.join();
}

TEST_F(FileLockTest, AnotherProcessHoldingTheLockMakesTheWaitTimeOut) {
  kelpd::testing::ForeignLock holder("held-elsewhere");
  ASSERT_TRUE(holder.held());
  NamedLock lock("held-elsewhere");
  EXPECT_EQ(lock.Lock(100), LockResult::kTimeout);
  ASSERT_TRUE(holder.Release());
  // The holder has gone: the lock is free again.
  EXPECT_EQ(lock.Lock(1000), LockResult::kAcquired);
}

TEST_F(FileLockTest, AnUnlimitedWaitWakesOnTheWorkersStopRequest) {
  NamedLock holder("busy");
  ASSERT_EQ(holder.Lock(0), LockResult::kAcquired);
  LockResult result = LockResult::kAcquired;
  StopSignal stop;
  std::thread worker([&] {
    SetCurrentStopSignal(&stop);
    NamedLock waiter("busy");
    result = waiter.Lock(-1);
    SetCurrentStopSignal(nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop.Raise();
  worker.join();
  EXPECT_EQ(result, LockResult::kStopped);
}

TEST_F(FileLockTest, ManyThreadsTakeTurnsWithoutOverlap) {
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        NamedLock lock("turns");
        if (lock.Lock(10000) != LockResult::kAcquired) {
          overlap = true;
          return;
        }
        if (++inside != 1) overlap = true;
        std::this_thread::yield();
        --inside;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(overlap);
}

TEST_F(FileLockTest, AnUncreatableDirectoryIsAnError) {
  const std::string file = dir_.WriteFile("plainfile", "x");
  ::setenv("MAILLOCKDIR", (file + "/sub").c_str(), 1);
  NamedLock lock("x");
  EXPECT_EQ(lock.Lock(0), LockResult::kError);
  EXPECT_NE(lock.error(), 0);
}

}  // namespace
}  // namespace kelpd::platform
