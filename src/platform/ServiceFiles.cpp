#include "platform/ServiceFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/Files.h"
#include "platform/UniqueFd.h"

namespace kelpd::platform {

namespace {

bool Fail(int* error) {
  if (error != nullptr) *error = errno;
  return false;
}

}  // namespace

bool OwnExecutablePath(std::string* path, int* error) {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  if (n < 0) return Fail(error);
  if (static_cast<size_t>(n) >= sizeof buf) {
    errno = ENAMETOOLONG;
    return Fail(error);
  }
  path->assign(buf, static_cast<size_t>(n));
  return true;
}

bool CheckDirectory(const std::string& path, int* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Fail(error);
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return Fail(error);
  }
  return true;
}

bool PathExists(const std::string& path, int* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Fail(error);
  return true;
}

bool CanOpenForReading(const std::string& path, int* error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return Fail(error);
  return true;
}

bool CreateWholeFile(const std::string& dir, const std::string& name, const std::string& content,
                     int* error) {
  const std::string base = dir.empty() || dir.back() == '/' ? dir : dir + "/";
  const FileResult written = WriteFileWhole(base + name, {content}, {.new_mode = 0644});
  if (!written.ok() && error != nullptr) *error = written.error();
  return written.ok();
}

bool SystemdIsRunningInit() {
  struct stat st {};
  return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace kelpd::platform
