#include "platform/FileAge.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "support/TempDir.h"

namespace kelpd::platform {
namespace {

using kelpd::testing::TempDir;

TEST(FileAge, NewFileIsYoungAndSizeIsRight) {
  TempDir dir;
  std::string p = dir.WriteFile("m.eml", "12345");
  FileAge age;
  FileError err;
  ASSERT_TRUE(GetFileAge(p, age, err));
  EXPECT_EQ(age.size, 5u);
  EXPECT_LE(std::llabs(age.created - static_cast<int64_t>(std::time(nullptr))), 5);
  EXPECT_FALSE(GetFileAge(dir.Join("none"), age, err));
  EXPECT_EQ(err.cause, 2);
}

TEST(FileAge, WithoutBirthTimeTheModificationTimeCountsNotARename) {
  TempDir dir;
  std::string p = dir.WriteFile("m.eml", "x");
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(3);
  std::filesystem::last_write_time(p, old);
  std::string q = dir.Join("moved.eml");
  std::filesystem::rename(p, q);  // changes the status-change time only
  FileAge age;
  FileError err;
  ASSERT_TRUE(GetFileAge(q, age, err));
  const int64_t now = std::time(nullptr);
  if (age.from_birth_time)
    EXPECT_LE(std::llabs(age.created - now), 5);  // birth time: unchanged by either
  else
    EXPECT_GE(now - age.created, 3 * 3600 - 5);
}

}  // namespace
}  // namespace kelpd::platform
