#include "platform/FdIO.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kelpd::platform {

bool WriteAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool WritesGoNowhere(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno == EBADF;
  return S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
}

}  // namespace kelpd::platform
