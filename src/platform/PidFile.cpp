#include "platform/PidFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

namespace kelpd::platform {

PidFile::~PidFile() { Release(); }

bool PidFile::Create(const std::string& path, int* err) {
  Release();
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.valid()) {
    *err = errno;
    return false;
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    *err = errno;
    return false;
  }
  char text[32];
  int length = std::snprintf(text, sizeof text, "%ld", static_cast<long>(::getpid()));
  if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), text, length, 0) != length) {
    *err = errno;
    return false;
  }
  path_ = path;
  fd_ = std::move(fd);
  return true;
}

void PidFile::Release() {
  if (!fd_.valid()) return;
  ::unlink(path_.c_str());
  fd_.Reset();
  path_.clear();
}

}  // namespace kelpd::platform
