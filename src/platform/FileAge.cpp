#include "platform/FileAge.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace kelpd::platform {

bool GetFileAge(const std::string& path, FileAge& age, FileError& err) {
  struct statx stx {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME | STATX_SIZE, &stx) != 0) {
    err = FileError::FromErrno(errno);
    return false;
  }
  age.size = stx.stx_size;
  age.from_birth_time = (stx.stx_mask & STATX_BTIME) != 0 && stx.stx_btime.tv_sec != 0;
  age.created = age.from_birth_time ? static_cast<int64_t>(stx.stx_btime.tv_sec)
                                    : static_cast<int64_t>(stx.stx_mtime.tv_sec);
  return true;
}

}  // namespace kelpd::platform
