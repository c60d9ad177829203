#include "support/ForeignLock.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileLock.h"

namespace kelpd::testing {

ForeignLock::ForeignLock(const std::string& name) {
  int ready[2], release[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return;
  if (::pipe2(release, O_CLOEXEC) != 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return;
  }
  child_ = ::fork();
  if (child_ == 0) {
    platform::NamedLock lock(name);
    char c = lock.Lock(1000) == platform::LockResult::kAcquired ? 'y' : 'n';
    (void)!::write(ready[1], &c, 1);
    (void)!::read(release[0], &c, 1);
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  release_fd_ = release[1];
  char c = 0;
  held_ = child_ > 0 && ::read(ready[0], &c, 1) == 1 && c == 'y';
  ::close(ready[0]);
}

ForeignLock::~ForeignLock() { Release(); }

bool ForeignLock::Release() {
  if (release_fd_ >= 0) {
    (void)!::write(release_fd_, "x", 1);
    ::close(release_fd_);
    release_fd_ = -1;
  }
  if (child_ <= 0) return false;
  int status = 0;
  const bool ended = ::waitpid(child_, &status, 0) == child_;
  child_ = -1;
  held_ = false;
  return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kelpd::testing
