#include "platform/FileMove.h"

#include <gtest/gtest.h>

#include <ctime>

#include "support/TempDir.h"

namespace kelpd::platform {
namespace {

using kelpd::testing::FileExists;
using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;

TEST(FileMove, MovesAndNeverReplaces) {
  TempDir dir;
  std::string a = dir.WriteFile("a/m.eml", "first");
  std::string b = dir.WriteFile("b/m.eml", "second");
  FileError err;
  EXPECT_FALSE(MoveFileNoReplace(a, b, err));
  EXPECT_EQ(err.error, EEXIST);
  EXPECT_EQ(ReadFile(a), "first");
  EXPECT_EQ(ReadFile(b), "second");
  std::string c = dir.Join("b/n.eml");
  EXPECT_TRUE(MoveFileNoReplace(a, c, err));
  EXPECT_FALSE(FileExists(a));
  EXPECT_EQ(ReadFile(c), "first");
}

TEST(FileMove, MissingSourceIsCause2) {
  TempDir dir;
  FileError err;
  EXPECT_FALSE(MoveFileNoReplace(dir.Join("none"), dir.Join("x"), err));
  EXPECT_EQ(err.cause, 2);
}

TEST(FileAge, NewFileIsYoungAndSizeIsRight) {
  TempDir dir;
  std::string p = dir.WriteFile("m.eml", "12345");
  FileAge age;
  FileError err;
  ASSERT_TRUE(GetFileAge(p, age, err));
  EXPECT_EQ(age.size, 5u);
  EXPECT_LE(std::abs(age.created - static_cast<int64_t>(std::time(nullptr))), 5);
  EXPECT_FALSE(GetFileAge(dir.Join("none"), age, err));
  EXPECT_EQ(err.cause, 2);
}

}  // namespace
}  // namespace kelpd::platform
