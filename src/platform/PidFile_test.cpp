#include "platform/PidFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/TempDir.h"

namespace {

using kelpd::platform::PidFile;
using kelpd::testing::FileExists;
using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;

TEST(PidFile, HoldsTheProcessIdAndLeavesAnotherHoldersFileAlone) {
  TempDir dir;
  std::string path = dir.WriteFile("Kelpd.pid", "stale text that is longer than a pid");
  PidFile first;
  int err = 0;
  ASSERT_TRUE(first.Create(path, &err)) << err;
  EXPECT_EQ(ReadFile(path), std::to_string(::getpid()));

  // A second instance finds the file locked and changes nothing.
  PidFile second;
  EXPECT_FALSE(second.Create(path, &err));
  EXPECT_EQ(err, EWOULDBLOCK);
  EXPECT_FALSE(second.IsHeld());
  second.Release();
  EXPECT_EQ(ReadFile(path), std::to_string(::getpid()));

  first.Release();
  EXPECT_FALSE(FileExists(path));
  // Released, it can be taken again.
  ASSERT_TRUE(second.Create(path, &err));
}

TEST(PidFile, AMissingDirectoryIsReported) {
  TempDir dir;
  PidFile file;
  int err = 0;
  EXPECT_FALSE(file.Create(dir.Join("none/Kelpd.pid"), &err));
  EXPECT_EQ(err, ENOENT);
}

}  // namespace
