#include "app/LifecycleRules.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using kelpd::app::DeliveryThreadCount;
using kelpd::app::HourlySchedule;

TEST(LifecycleRules, ThreadCountsBelowTwoGiveOneThreadAndTheDescriptorLimitBoundsThem) {
  EXPECT_EQ(DeliveryThreadCount(0, 1024), 1);
  EXPECT_EQ(DeliveryThreadCount(1, 1024), 1);
  EXPECT_EQ(DeliveryThreadCount(-5, 1024), 1);
  EXPECT_EQ(DeliveryThreadCount(2, 1024), 2);
  EXPECT_EQ(DeliveryThreadCount(10, 1024), 10);
  EXPECT_EQ(DeliveryThreadCount(5000, 1024), 120);
  EXPECT_EQ(DeliveryThreadCount(5000, 1L << 20), 5000);
  EXPECT_EQ(DeliveryThreadCount(4, 16), 1);
}

// A loop started at 10:23, polling every 20 seconds for three hours, runs the
// script at 10:23, 11:23 and 12:23, once each.
TEST(LifecycleRules, HourlyScriptRunsOnceAnHourInTheStartMinute) {
  HourlySchedule schedule(23);
  std::vector<int> runs;  // minutes since 10:00 at which the script ran
  for (int second = 23 * 60; second < 23 * 60 + 3 * 3600; second += 20) {
    if (schedule.Due((second / 60) % 60)) runs.push_back(second / 60);
  }
  EXPECT_EQ(runs, (std::vector<int>{23, 83, 143}));
}

TEST(LifecycleRules, HourlyScriptWaitsForTheStartMinuteAfterAMissedHour) {
  HourlySchedule schedule(5);
  EXPECT_TRUE(schedule.Due(5));
  EXPECT_FALSE(schedule.Due(5));
  // The clock never showed another minute (a pass that slept through the
  // hour): nothing runs twice.
  EXPECT_FALSE(schedule.Due(5));
  EXPECT_FALSE(schedule.Due(6));
  EXPECT_FALSE(schedule.Due(59));
  EXPECT_TRUE(schedule.Due(5));
}

}  // namespace
