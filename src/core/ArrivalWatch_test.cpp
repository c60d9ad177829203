#include "core/ArrivalWatch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Files.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using kelpd::core::ArrivalWatch;
using kelpd::testing::TempDir;
using Woken = ArrivalWatch::Woken;

// Long enough never to run out on a loaded machine: an arrival ends it at once.
constexpr int kLongWaitMs = 60'000;

TEST(ArrivalWatch, OnlyAMailFileBecomingWholeEndsTheWait) {
  TempDir dir;
  const std::string doomed = dir.WriteFile("old.eml", "x");
  ArrivalWatch watch;
  int err = 0;
  ASSERT_TRUE(watch.Open(dir.path(), {"*.eml"}, &err)) << err;

  // Temporary files, reports and deletions are no arrivals.
  dir.WriteFile(".part.tmp", "partial");
  dir.WriteFile("old.eml.err", "report");
  fs::remove(doomed);
  EXPECT_EQ(watch.Wait(50), Woken::kTimeout);

  // A rename into place ...
  fs::rename(dir.Join(".part.tmp"), dir.Join("renamed.eml"));
  EXPECT_EQ(watch.Wait(kLongWaitMs), Woken::kArrival);
  // ... and the service's own writer (an unnamed file linked into place).
  ASSERT_TRUE(kelpd::platform::WriteFileWhole(dir.Join("linked.eml"), {"mail"}, {}).ok());
  EXPECT_EQ(watch.Wait(kLongWaitMs), Woken::kArrival);
  EXPECT_EQ(watch.Wait(50), Woken::kTimeout);
}

TEST(ArrivalWatch, LostEventsEndTheWait) {
  TempDir dir;
  ArrivalWatch watch;
  int err = 0;
  ASSERT_TRUE(watch.Open(dir.path(), {"*.eml"}, &err)) << err;
  // More unrelated events than the kernel queues: whatever came after them,
  // a mail file among them included, is lost, so the wait must end.
  long limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  if (limit > 1'000'000) GTEST_SKIP() << "the kernel's event queue is too long to fill here";
  const std::string names[2] = {dir.Join("a.tmp"), dir.Join("b.tmp")};
  for (long i = 0; i <= limit; ++i) {
    std::ofstream touch(names[i % 2]);  // alternating names: not merged into one event
  }
  dir.WriteFile("lost.eml", "mail");
  EXPECT_EQ(watch.Wait(kLongWaitMs), Woken::kArrival);
}

TEST(ArrivalWatch, WithoutAWatchTheWaitIsTheInterval) {
  ArrivalWatch watch;
  int err = 0;
  EXPECT_FALSE(watch.Open("/nonexistent-kelpd-dir", {"*.eml"}, &err));
  EXPECT_FALSE(watch.IsOpen());
  EXPECT_EQ(watch.Wait(10), Woken::kTimeout);
}

}  // namespace
