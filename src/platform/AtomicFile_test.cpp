#include "platform/AtomicFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/Durability.h"
#include "support/TempDir.h"

namespace kelpd::platform {
namespace {

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
  FileError err;
  ASSERT_TRUE(WriteFileWhole(path, {"head\r\n", "", "body"}, true, err));
  EXPECT_EQ(ReadFile(path), "head\r\nbody");
  ASSERT_TRUE(WriteFileWhole(path, {"new"}, true, err));
  EXPECT_EQ(ReadFile(path), "new");

  FileError exists;
  EXPECT_FALSE(WriteFileWhole(path, {"other"}, false, exists));
  EXPECT_EQ(exists.error, kFileExistsErrno);
  EXPECT_TRUE(exists.IsSet());
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(CountEntries(dir.path()), 1);

  ASSERT_TRUE(WriteFileWhole(dir.Join("2.eml"), {"two"}, false, err));
  EXPECT_EQ(ReadFile(dir.Join("2.eml")), "two");
  EXPECT_EQ(CountEntries(dir.path()), 2);
}

// A replacing write keeps the replaced file's mode, owner and group (and a
// symbolic link in place); a new file takes the mode asked for exactly.
TEST(WriteFileWholeTest, ReplacingKeepsModeOwnerAndGroupAndNewFilesTakeTheirMode) {
  TempDir dir;
  const mode_t old_umask = ::umask(022);
  const std::string path = dir.Join("config");
  FileError err;
  ASSERT_TRUE(WriteFileWhole(path, {"NextUID:\t1\n"}, false, err, 0660));
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(::symlink("config", dir.Join("link").c_str()), 0);
  ASSERT_TRUE(WriteFileWhole(dir.Join("link"), {"NextUID:\t2\n"}, true, err, 0600));
  ASSERT_TRUE(WriteFileWhole(dir.Join("new"), {"x"}, false, err, 0660));
  ASSERT_TRUE(WriteFileWhole(dir.Join("plain"), {"x"}, true, err));
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
          FileError err;
          const std::string name = replace ? "same" : std::to_string(i);
          if (!WriteFileWhole(sub + "/" + name + ".eml", {piece}, replace, err)) _exit(1);
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
  FileError err;
  EXPECT_FALSE(WriteFileWhole(dir.Join("missing/1.eml"), {"x"}, true, err));
  EXPECT_EQ(err.cause, 2);  // ENOENT
}

TEST(ReadOnlyFileTest, ReadsAtOffsetsAndRejectsDirectories) {
  TempDir dir;
  const std::string path = dir.WriteFile("f", "0123456789");
  ReadOnlyFile file;
  FileError err;
  ASSERT_TRUE(file.Open(path, err));
  EXPECT_EQ(file.Size(), 10);
  char buf[8];
  EXPECT_EQ(file.ReadAt(6, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_EQ(file.ReadAt(10, buf, sizeof buf), 0);

  ReadOnlyFile missing;
  EXPECT_FALSE(missing.Open(dir.Join("nope"), err));
  EXPECT_EQ(err.cause, 2);
  ReadOnlyFile directory;
  EXPECT_FALSE(directory.Open(dir.path(), err));
  EXPECT_EQ(err.cause, 5);  // EISDIR
}

// Staged files stay invisible until named, get a name only after their data
// is synced, never replace a name, and leave nothing behind unnamed.
TEST(StagedFilesTest, NamesComeAfterTheSyncAndNeverReplace) {
  TempDir dir;
  dir.WriteFile("1.eml", "old");
  StagedFiles files;
  FileError err;
  ASSERT_TRUE(files.Add(dir.path(), {"head\r\n", "body"}, 0640, err));
  ASSERT_TRUE(files.Add(dir.path(), {"second"}, kUmaskMode, err));
  ASSERT_TRUE(files.Add(dir.path(), {"dropped"}, kUmaskMode, err));
  EXPECT_EQ(CountEntries(dir.path()), 1);
  EXPECT_FALSE(files.Name(0, dir.Join("2.eml"), err));  // not synced yet

  SetThreadSyncMode(SyncMode::kDeferred);
  std::string failed;
  ASSERT_TRUE(files.SyncData(err, failed)) << failed;
  FileError exists;
  EXPECT_FALSE(files.Name(0, dir.Join("1.eml"), exists));
  EXPECT_EQ(exists.error, kFileExistsErrno);
  EXPECT_EQ(ReadFile(dir.Join("1.eml")), "old");
  ASSERT_TRUE(files.Name(0, dir.Join("2.eml"), err));
  EXPECT_FALSE(files.Name(0, dir.Join("4.eml"), err));  // named once
  ASSERT_TRUE(files.Name(1, dir.Join("3.eml"), err));
  EXPECT_TRUE(HasDeferredWrites());
  EXPECT_TRUE(FlushDeferredWrites(err, failed)) << failed;
  SetThreadSyncMode(SyncMode::kPerFile);
  files.Clear();

  EXPECT_EQ(ReadFile(dir.Join("2.eml")), "head\r\nbody");
  EXPECT_EQ(ReadFile(dir.Join("3.eml")), "second");
  struct stat st {};
  ASSERT_EQ(::stat(dir.Join("2.eml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(CountEntries(dir.path()), 3);
}

}  // namespace
}  // namespace kelpd::platform
