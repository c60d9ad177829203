#include "remote/RetrySchedule.h"

#include <gtest/gtest.h>

namespace {

using kelpd::remote::MailTooOld;
using kelpd::remote::RetryCycleDue;
using kelpd::remote::RetrySettings;

TEST(RetrySchedule, MinimumAppliesWhenNoNewMailWaits) {
  const RetrySettings s{300, 1800};
  const int64_t last = 1'000'000;
  EXPECT_FALSE(RetryCycleDue(last + 300, last, s, false));  // strict
  EXPECT_TRUE(RetryCycleDue(last + 301, last, s, false));
}

TEST(RetrySchedule, NewMailPutsTheCycleOffUpToTheMaximum) {
  const RetrySettings s{300, 1800};
  const int64_t last = 1'000'000;
  EXPECT_FALSE(RetryCycleDue(last + 301, last, s, true));
  EXPECT_FALSE(RetryCycleDue(last + 1800, last, s, true));  // strict
  EXPECT_TRUE(RetryCycleDue(last + 1801, last, s, true));
}

TEST(RetrySchedule, FirstScanAfterStartOpensACycle) {
  EXPECT_TRUE(RetryCycleDue(1'700'000'000, 0, RetrySettings{}, true));
}

TEST(RetrySchedule, AgeLimitIsStrictInSeconds) {
  const int64_t now = 1'700'000'000;
  EXPECT_FALSE(MailTooOld(now, now - 119 * 60, 120));
  EXPECT_FALSE(MailTooOld(now, now - 120 * 60, 120));
  EXPECT_TRUE(MailTooOld(now, now - 120 * 60 - 1, 120));
  EXPECT_TRUE(MailTooOld(now, now - 121 * 60, 120));
}

}  // namespace
