#include "platform/Files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "support/TempDir.h"

namespace kelpd::platform {
namespace {

using kelpd::testing::FileExists;
using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;

int CountEntries(const std::string& dir) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    (void)e;
    ++n;
  }
  return n;
}

TEST(WriteFileWholeTest, ReplacesOrRefusesAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.Join("1.eml");
  ASSERT_TRUE(WriteFileWhole(path, {"head\r\n", "", "body"}, {.replace = true}).ok());
  EXPECT_EQ(ReadFile(path), "head\r\nbody");
  ASSERT_TRUE(WriteFileWhole(path, {"new"}, {.replace = true}).ok());
  EXPECT_EQ(ReadFile(path), "new");

  const FileResult exists = WriteFileWhole(path, {"other"}, {});
  EXPECT_FALSE(exists.ok());
  EXPECT_EQ(exists.error(), kFileExistsErrno);
  EXPECT_TRUE(exists.AlreadyExists());
  EXPECT_TRUE(exists.HasCause());
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(CountEntries(dir.path()), 1);

  ASSERT_TRUE(WriteFileWhole(dir.Join("2.eml"), {"two"}, {}).ok());
  EXPECT_EQ(ReadFile(dir.Join("2.eml")), "two");
  EXPECT_EQ(CountEntries(dir.path()), 2);
}

// A replacing write keeps the replaced file's mode, owner and group (and a
// symbolic link in place); a new file takes the mode asked for exactly.
TEST(WriteFileWholeTest, ReplacingKeepsModeOwnerAndGroupAndNewFilesTakeTheirMode) {
  TempDir dir;
  const mode_t old_umask = ::umask(022);
  const std::string path = dir.Join("config");
  ASSERT_TRUE(WriteFileWhole(path, {"NextUID:\t1\n"}, {.new_mode = 0660}).ok());
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("config", dir.Join("link").c_str()), 0);
  ASSERT_TRUE(
      WriteFileWhole(dir.Join("link"), {"NextUID:\t2\n"}, {.replace = true, .new_mode = 0600})
          .ok());
  ASSERT_TRUE(WriteFileWhole(dir.Join("new"), {"x"}, {.new_mode = 0660}).ok());
  ASSERT_TRUE(WriteFileWhole(dir.Join("plain"), {"x"}, {.replace = true}).ok());
  ::umask(old_umask);

  struct stat st {};
  ASSERT_EQ(::lstat(dir.Join("link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(path), "NextUID:\t2\n");
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  ASSERT_EQ(::stat(dir.Join("new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  ASSERT_EQ(::stat(dir.Join("plain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(CountEntries(dir.path()), 4);
}

// A writer killed at a random moment while it writes new files, or replaces
// one file again and again, leaves only whole files: nothing partial under
// any name, no temporary file.
TEST(WriteFileWholeTest, AWriterKilledWhileWritingLeavesOnlyWholeFiles) {
  TempDir dir;
  const std::string piece(4 << 20, 'x');
  for (bool replace : {false, true}) {
    for (int delay_ms : {30, 110}) {
      const std::string sub =
          dir.MakeDir(std::string(replace ? "replace" : "new") + std::to_string(delay_ms));
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        for (int i = 0; i < 2000; ++i) {
          const std::string name = replace ? "same" : std::to_string(i);
          if (!WriteFileWhole(sub + "/" + name + ".eml", {piece}, {.replace = replace}).ok())
            _exit(1);
        }
        _exit(0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      ::kill(child, SIGKILL);
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended before it was killed";
      for (const auto& e : std::filesystem::directory_iterator(sub)) {
        EXPECT_EQ(e.path().extension(), ".eml") << e.path();
        EXPECT_EQ(std::filesystem::file_size(e.path()), piece.size()) << e.path();
      }
    }
  }
}

TEST(WriteFileWholeTest, AMissingDirectoryFailsWithItsCause) {
  TempDir dir;
  const FileResult err = WriteFileWhole(dir.Join("missing/1.eml"), {"x"}, {.replace = true});
  EXPECT_TRUE(err.Is(kFileCauseNotFound));
  EXPECT_EQ(err.cause(), 2);  // as log lines show it
}

TEST(ReadOnlyFileTest, ReadsAtOffsetsAndRejectsDirectories) {
  TempDir dir;
  const std::string path = dir.WriteFile("f", "0123456789");
  ReadOnlyFile file;
  ASSERT_TRUE(file.Open(path).ok());
  EXPECT_EQ(file.Size(), 10);
  char buf[8];
  EXPECT_EQ(file.ReadAt(6, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_EQ(file.ReadAt(10, buf, sizeof buf), 0);

  ReadOnlyFile missing;
  EXPECT_TRUE(missing.Open(dir.Join("nope")).Is(kFileCauseNotFound));
  ReadOnlyFile directory;
  EXPECT_TRUE(directory.Open(dir.path()).Is(kFileCauseAccessDenied));  // EISDIR
}

// Staged files stay invisible until named, get a name only after their data
// is synced, never replace a name, and leave nothing behind unnamed.
TEST(StagedFilesTest, NamesComeAfterTheSyncAndNeverReplace) {
  TempDir dir;
  dir.WriteFile("1.eml", "old");
  DeferredSync deferred;
  StagedFiles files(&deferred);
  ASSERT_TRUE(files.Add(dir.path(), {"head\r\n", "body"}, 0640).ok());
  ASSERT_TRUE(files.Add(dir.path(), {"second"}, kUmaskMode).ok());
  ASSERT_TRUE(files.Add(dir.path(), {"dropped"}, kUmaskMode).ok());
  EXPECT_EQ(CountEntries(dir.path()), 1);
  EXPECT_FALSE(files.Name(0, dir.Join("2.eml")).ok());  // not synced yet

  std::string failed;
  ASSERT_TRUE(files.SyncData(failed).ok()) << failed;
  EXPECT_TRUE(files.Name(0, dir.Join("1.eml")).AlreadyExists());
  EXPECT_EQ(ReadFile(dir.Join("1.eml")), "old");
  ASSERT_TRUE(files.Name(0, dir.Join("2.eml")).ok());
  EXPECT_FALSE(files.Name(0, dir.Join("4.eml")).ok());  // named once
  ASSERT_TRUE(files.Name(1, dir.Join("3.eml")).ok());
  EXPECT_TRUE(deferred.HasWrites());
  EXPECT_TRUE(deferred.Flush(failed).ok()) << failed;
  EXPECT_FALSE(deferred.HasWrites());
  files.Clear();

  EXPECT_EQ(ReadFile(dir.Join("2.eml")), "head\r\nbody");
  EXPECT_EQ(ReadFile(dir.Join("3.eml")), "second");
  struct stat st {};
  ASSERT_EQ(::stat(dir.Join("2.eml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(CountEntries(dir.path()), 3);
}

TEST(FileMove, MovesButNeverReplacesAFile) {
  TempDir dir;
  const std::string from = dir.WriteFile("queue/a.eml", "new");
  const std::string taken = dir.WriteFile("error/a.eml", "old");
  EXPECT_EQ(MoveFileNoReplace(from, taken).error(), EEXIST);
  EXPECT_EQ(ReadFile(taken), "old");
  EXPECT_EQ(ReadFile(from), "new");

  EXPECT_TRUE(MoveFileNoReplace(from, dir.Join("error/b.eml")).ok());
  EXPECT_EQ(ReadFile(dir.Join("error/b.eml")), "new");
  EXPECT_FALSE(FileExists(from));

  EXPECT_TRUE(MoveFileNoReplace(from, dir.Join("error/c.eml")).Is(kFileCauseNotFound));
  EXPECT_EQ(MoveFileNoReplace(dir.Join("error/b.eml"), dir.Join("missing/b.eml")).error(), ENOENT);
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
  for (int pass = 0; pass < 3; ++pass)
    EXPECT_EQ(MoveFileNoReplace(from, target + "/a.eml").error(), EPERM);
  EXPECT_FALSE(FileExists(target + "/a.eml"));
  ASSERT_TRUE(SetAppendOnly(dir.Join("queue"), false));

  EXPECT_TRUE(MoveFileNoReplace(from, target + "/a.eml").ok());
  EXPECT_FALSE(FileExists(from));
  ASSERT_EQ(::stat((target + "/a.eml").c_str(), &there), 0);
  EXPECT_EQ(there.st_mode & 0777, 0600u);
  ::unlink((target + "/a.eml").c_str());
  EXPECT_EQ(::rmdir(target.c_str()), 0) << "a temporary file was left behind";
}

TEST(DeferredSyncTest, DeferredWritesAreNotedUntilFlushed) {
  TempDir dir;
  DeferredSync deferred;
  ASSERT_TRUE(WriteFileWhole(dir.Join("one"), {"x"}, {.replace = true}).ok());
  EXPECT_FALSE(deferred.HasWrites());

  ASSERT_TRUE(WriteFileWhole(dir.Join("two"), {"y"}, {.deferred = &deferred}).ok());
  EXPECT_TRUE(deferred.HasWrites());
  std::string failed;
  EXPECT_TRUE(deferred.Flush(failed).ok());
  EXPECT_FALSE(deferred.HasWrites());
  EXPECT_EQ(ReadFile(dir.Join("two")), "y");
}

TEST(FileAge, NewFileIsYoungAndSizeIsRight) {
  TempDir dir;
  std::string p = dir.WriteFile("m.eml", "12345");
  FileAge age;
  ASSERT_TRUE(GetFileAge(p, age).ok());
  EXPECT_EQ(age.size, 5u);
  EXPECT_LE(std::llabs(age.created - static_cast<int64_t>(std::time(nullptr))), 5);
  EXPECT_TRUE(GetFileAge(dir.Join("none"), age).Is(kFileCauseNotFound));
}

TEST(FileAge, WithoutBirthTimeTheModificationTimeCountsNotARename) {
  TempDir dir;
  std::string p = dir.WriteFile("m.eml", "x");
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(3);
  std::filesystem::last_write_time(p, old);
  std::string q = dir.Join("moved.eml");
  std::filesystem::rename(p, q);  // changes the status-change time only
  FileAge age;
  ASSERT_TRUE(GetFileAge(q, age).ok());
  const int64_t now = std::time(nullptr);
  if (age.from_birth_time)
    EXPECT_LE(std::llabs(age.created - now), 5);  // birth time: unchanged by either
  else
    EXPECT_GE(now - age.created, 3 * 3600 - 5);
}

// Names that don't match the pattern are passed over before any status call;
// the status of a name comes on request and follows symbolic links.
TEST(DirectoryReaderTest, FiltersNamesAndStatsOnRequest) {
  TempDir dir;
  dir.WriteFile("a.eml", "12345");
  dir.WriteFile("b.txt", "x");
  dir.MakeDir("c.eml");
  ASSERT_EQ(::symlink("a.eml", dir.Join("d.eml").c_str()), 0);
  DirectoryReader reader;
  ASSERT_TRUE(reader.Open(dir.path(), "*.eml").ok());
  std::map<std::string, FileStatus> seen;
  std::string_view name;
  while (reader.Next(name)) ASSERT_TRUE(reader.Stat(seen[std::string(name)]).ok()) << name;
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen["a.eml"].size, 5u);
  EXPECT_TRUE(seen["c.eml"].is_directory);
  EXPECT_TRUE(seen["d.eml"].is_regular);
  EXPECT_EQ(seen["d.eml"].inode, seen["a.eml"].inode);

  EXPECT_TRUE(reader.Open(dir.Join("none")).Is(kFileCauseNotFound));
  EXPECT_FALSE(reader.Next(name));
}

}  // namespace
}  // namespace kelpd::platform
