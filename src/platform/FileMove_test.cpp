#include "platform/FileMove.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

// Sets or clears the append-only flag of a directory: its entries can't be
// removed then, not even by root. False where the file system lacks it.
bool SetAppendOnly(const std::string& dir, bool on) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

// A move to another file system whose source can't be removed leaves no copy
// behind, so retrying it on every pass can't fill the target; a finished
// move keeps the mail's mode.
TEST(FileMove, AcrossFileSystemsLeavesOneFileWithTheSourceMode) {
  TempDir dir;
  char target_template[] = "/dev/shm/kelpd-move-XXXXXX";
  struct stat here {
  }, there{};
  if (::mkdtemp(target_template) == nullptr) GTEST_SKIP() << "no /dev/shm";
  const std::string target = target_template;
  const std::string from = dir.WriteFile("queue/a.eml", "mail");
  ASSERT_EQ(::chmod(from.c_str(), 0600), 0);
  if (::stat(from.c_str(), &here) != 0 || ::stat(target.c_str(), &there) != 0 ||
      here.st_dev == there.st_dev || !SetAppendOnly(dir.Join("queue"), true)) {
    ::rmdir(target.c_str());
    GTEST_SKIP() << "needs two file systems and the append-only flag";
  }
  FileError err;
  for (int pass = 0; pass < 3; ++pass) {
    EXPECT_FALSE(MoveFileNoReplace(from, target + "/a.eml", err));
    EXPECT_EQ(err.error, EPERM);
  }
  EXPECT_FALSE(FileExists(target + "/a.eml"));
  ASSERT_TRUE(SetAppendOnly(dir.Join("queue"), false));

  EXPECT_TRUE(MoveFileNoReplace(from, target + "/a.eml", err));
  EXPECT_FALSE(FileExists(from));
  ASSERT_EQ(::stat((target + "/a.eml").c_str(), &there), 0);
  EXPECT_EQ(there.st_mode & 0777, 0600u);
  ::unlink((target + "/a.eml").c_str());
  EXPECT_EQ(::rmdir(target.c_str()), 0) << "a temporary file was left behind";
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
