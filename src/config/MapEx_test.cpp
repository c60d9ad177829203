#include "config/MapEx.h"

#include <gtest/gtest.h>

#include <string>

#include "support/LogCapture.h"

namespace {

TEST(CThreadSafeMap, LookupTraceLines) {
  kelpd::testing::LogCapture capture;
  CThreadSafeMap map;
  map.SetAt("k", "v");
  std::string value;
  EXPECT_TRUE(map.Lookup("k", value));
  EXPECT_EQ(capture.Lines().size(), 0u);
  map.SetTraceLevel(5);
  EXPECT_TRUE(map.Lookup("k", value));
  EXPECT_EQ(capture.Count("CMapEx::Lookup: Common\\MapEx:"), 4);
  EXPECT_EQ(capture.Count("CThreadSafeMap::Lookup: Common\\MapEx:"), 2);
  capture.Clear();
  EXPECT_FALSE(map.Lookup("missing", value));
  EXPECT_EQ(capture.Count("CMapEx::Lookup:"), 2);
  for (const auto& line : capture.Lines()) EXPECT_EQ(line.level, kLevelDebug);
}

}  // namespace
