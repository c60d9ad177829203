#include "platform/FileMove.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/AtomicFile.h"

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

namespace {

// Copies from into to (which must not exist) so that it appears whole, then
// removes from.
bool CopyAcross(const std::string& from, const std::string& to, FileError& err) {
  ReadOnlyFile source;
  if (!source.Open(from, err)) return false;
  std::string data;
  data.resize(static_cast<size_t>(source.Size()));
  size_t done = 0;
  while (done < data.size()) {
    int64_t n = source.ReadAt(static_cast<int64_t>(done), data.data() + done, data.size() - done);
    if (n < 0) {
      err = FileError::FromErrno(errno);
      return false;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  data.resize(done);
  if (!WriteFileWhole(to, {std::string_view(data)}, false, err)) return false;
  if (::unlink(from.c_str()) != 0) {
    // Two copies are better than none: the source stays, the caller hears.
    err = FileError::FromErrno(errno);
    return false;
  }
  return true;
}

}  // namespace

bool MoveFileNoReplace(const std::string& from, const std::string& to, FileError& err) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int e = errno;
  if (e == EINVAL || e == ENOSYS) {
    // No RENAME_NOREPLACE on this file system: link never replaces either.
    if (::link(from.c_str(), to.c_str()) == 0) {
      if (::unlink(from.c_str()) == 0) return true;
      e = errno;
      ::unlink(to.c_str());
      err = FileError::FromErrno(e);
      return false;
    }
    e = errno;
  }
  if (e == EXDEV) return CopyAcross(from, to, err);
  err = FileError::FromErrno(e);
  return false;
}

}  // namespace kelpd::platform
