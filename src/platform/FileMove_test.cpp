#include "platform/FileMove.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/AtomicFile.h"
#include "platform/Durability.h"
#include "support/TempDir.h"

namespace kelpd::platform {
namespace {

using kelpd::testing::FileExists;
using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;

TEST(FileMove, MovesButNeverReplacesAFile) {
  TempDir dir;
  const std::string from = dir.WriteFile("queue/a.eml", "new");
  const std::string taken = dir.WriteFile("error/a.eml", "old");
  FileError err;
  EXPECT_FALSE(MoveFileNoReplace(from, taken, err));
  EXPECT_EQ(err.error, EEXIST);
  EXPECT_EQ(ReadFile(taken), "old");
  EXPECT_EQ(ReadFile(from), "new");

  EXPECT_TRUE(MoveFileNoReplace(from, dir.Join("error/b.eml"), err));
  EXPECT_EQ(ReadFile(dir.Join("error/b.eml")), "new");
  EXPECT_FALSE(FileExists(from));

  EXPECT_FALSE(MoveFileNoReplace(from, dir.Join("error/c.eml"), err));
  EXPECT_EQ(err.cause, 2);
  EXPECT_FALSE(MoveFileNoReplace(dir.Join("error/b.eml"), dir.Join("missing/b.eml"), err));
  EXPECT_EQ(err.error, ENOENT);
  EXPECT_TRUE(FileExists(dir.Join("error/b.eml")));
}

TEST(Durability, DeferredWritesAreNotedUntilFlushed) {
  TempDir dir;
  ASSERT_EQ(ThreadSyncMode(), SyncMode::kPerFile);
  FileError err;
  ASSERT_TRUE(WriteFileWhole(dir.Join("one"), {"x"}, true, err));
  EXPECT_FALSE(HasDeferredWrites());

  SetThreadSyncMode(SyncMode::kDeferred);
  ASSERT_TRUE(WriteFileWhole(dir.Join("two"), {"y"}, false, err));
  EXPECT_TRUE(HasDeferredWrites());
  std::string failed;
  EXPECT_TRUE(FlushDeferredWrites(err, failed));
  EXPECT_FALSE(HasDeferredWrites());
  SetThreadSyncMode(SyncMode::kPerFile);
  EXPECT_EQ(ReadFile(dir.Join("two")), "y");
}

}  // namespace
}  // namespace kelpd::platform
