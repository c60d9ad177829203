#include "platform/FdIO.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace kelpd::platform {
namespace {

TEST(FdIO, OnlyTheNullDeviceAndClosedDescriptorsGoNowhere) {
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(null_fd, 0);
  EXPECT_TRUE(WritesGoNowhere(null_fd));
  ::close(null_fd);
  EXPECT_TRUE(WritesGoNowhere(null_fd));

  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  EXPECT_FALSE(WritesGoNowhere(pipe_fds[1]));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);

  kelpd::testing::TempDir dir;
  const int file_fd = ::open(dir.WriteFile("out", "").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(file_fd, 0);
  EXPECT_FALSE(WritesGoNowhere(file_fd));
  ::close(file_fd);
}

}  // namespace
}  // namespace kelpd::platform
